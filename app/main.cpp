// Entry point: the application object, its delegate and the event loop.
#include "AppDelegate.h"
#include "AppIcon.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sarnovelle USB Maker"));
    QApplication::setApplicationVersion(QStringLiteral(SARNOVELLE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("sarnovelle-usb-maker"));
    QApplication::setWindowIcon(sarnovelle::appIcon());

    sarnovelle::AppDelegate delegate;
    // Launching has finished once the event loop runs.
    QTimer::singleShot(0, &delegate, &sarnovelle::AppDelegate::applicationDidFinishLaunching);
    QApplication::exec();

    // Nothing waits for a preparation run: the user closed the window or
    // quit while one was going. Its thread still posts to the controller,
    // so end the process here rather than tear down the objects it uses.
    if (delegate.runInProgress()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
