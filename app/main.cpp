// Entry point: the application object, its delegate and the event loop.
#include "AppDelegate.h"
#include "AppIcon.h"
#include "cli/CommandLine.h"
#include "ui/Bundle.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (sarnovelle::cli::wantsCommandLine(argc, argv)) {
        // A terminal or a script: no window, so no display is needed.
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        QCoreApplication core(argc, argv);
        const sarnovelle::Bundle bundle = sarnovelle::Bundle::main();
        return sarnovelle::cli::runCommandLine(arguments, {bundle.image, bundle.infoPlist, SARNOVELLE_VERSION});
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sarnovelle USB Maker"));
    QApplication::setApplicationVersion(QStringLiteral(SARNOVELLE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("sarnovelle-usb-maker"));
    QApplication::setWindowIcon(sarnovelle::appIcon());

    sarnovelle::AppDelegate delegate;
    // Launching has finished once the event loop runs.
    QTimer::singleShot(0, &delegate, &sarnovelle::AppDelegate::applicationDidFinishLaunching);
    QApplication::exec();

    // Nothing waits for a preparation run: the user was warned and chose
    // Quit Anyway while one was going. Its thread still posts to the
    // controller, so end the process here rather than tear down the objects
    // it uses.
    if (delegate.runInProgress()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
