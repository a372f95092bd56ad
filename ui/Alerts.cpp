#include "ui/Alerts.h"

#include "core/Config.h"
#include "ui/QtText.h"

#include <QLabel>

namespace sarnovelle {

void prepareAlert(QMessageBox& box, QMessageBox::Icon icon, const QString& text, const QString& informative)
{
    box.setWindowTitle(fromStd(Config::title));
    box.setIcon(icon);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setInformativeText(informative);
    // The informative text's label guesses its format; a disk name with
    // angle brackets would be taken for markup.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
    }
    box.setWindowModality(Qt::ApplicationModal);
}

void showOutcome(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& informative)
{
    QMessageBox box(parent);
    prepareAlert(box, icon, text, informative);
    box.exec();
}

} // namespace sarnovelle
