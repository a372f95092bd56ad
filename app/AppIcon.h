#pragma once

#include <QIcon>

namespace sarnovelle {

// The application's icon, painted in code with the shapes of
// packaging/sarnovelle-usb-maker.svg (Qt's SVG reader is not required).
QIcon appIcon();

} // namespace sarnovelle
