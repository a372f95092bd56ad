#pragma once

#include <QMessageBox>
#include <QString>

namespace sarnovelle {

// Readies an application-modal alert of the window: the application's
// title, the icon, and both texts as plain text (a disk's name must never
// be read as markup). Buttons are the caller's.
void prepareAlert(QMessageBox& box, QMessageBox::Icon icon, const QString& text, const QString& informative);

// Shows an alert with the platform's single default button and waits for
// it to be answered.
void showOutcome(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& informative);

} // namespace sarnovelle
