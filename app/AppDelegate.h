#pragma once

#include "core/Diskutil.h"
#include "AboutDialog.h"
#include "ui/Bundle.h"

#include <QObject>
#include <QMenuBar>
#include <QPointer>

#include <memory>
#include <optional>

class QAction;

namespace sarnovelle {

class MakerController;

// The application's delegate: builds the menu, creates the one window
// controller once launching has finished and keeps it until the end.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // The application's own bundle, the production disk utility and the
    // platform's disk watcher.
    AppDelegate();
    // Another bundle and disk environment (tests), without a disk watcher:
    // the list changes on Refresh and at a run's end only.
    AppDelegate(Bundle bundle, DiskEnv env);
    ~AppDelegate() override;

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Builds the menu, then the controller (which shows the window), then
    // brings the window to the front.
    void applicationDidFinishLaunching();
    // The application ends when its window is closed.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    // Absent until launching has finished.
    MakerController* controller() const { return controller_.get(); }
    // Whether a preparation run has started and not yet reported its end.
    bool runInProgress() const;

    QMenuBar* menuBar() const { return menuBar_; }
    QAction* aboutAction() const { return about_; }
    QAction* quitAction() const { return quit_; }
    QAction* copyAction() const { return copy_; }
    QAction* selectAllAction() const { return selectAll_; }
    // The About panel once it has been shown.
    AboutDialog* aboutDialog() const { return aboutDialog_; }

public Q_SLOTS:
    void showAbout();
    // The Quit item: ends the event loop, after asking during a run.
    void terminate();

private:
    AppDelegate(std::optional<Bundle> bundle, DiskEnv env, bool watchDisks);
    void buildMenu();
    void installMenuBar();

    std::optional<Bundle> bundle_;
    DiskEnv env_;
    bool watchDisks_;
    std::unique_ptr<MakerController> controller_;
    QPointer<QMenuBar> menuBar_;
    QAction* about_ = nullptr;
    QAction* quit_ = nullptr;
    QAction* copy_ = nullptr;
    QAction* selectAll_ = nullptr;
    QPointer<AboutDialog> aboutDialog_;
};

} // namespace sarnovelle
