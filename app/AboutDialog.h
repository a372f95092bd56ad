#pragma once

#include <QDialog>

namespace sarnovelle {

// The About panel: the icon, the application's name and version, and the
// notice in the system font at 10 points. Kept and brought forward again,
// not made anew, each time it is chosen.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

} // namespace sarnovelle
