// GoogleTest main for the window's tests: one QApplication on the offscreen
// platform, so no display is needed, and a session bus of their own, so
// that no notification reaches the desktop of whoever runs them.
#include "PrivateBus.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const sarnovelle::test::PrivateBus bus;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    // The tests open and close windows without an event loop of their own.
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
