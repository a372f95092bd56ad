#pragma once

#include "core/Bytes.h"
#include "core/Diskutil.h"
#include "disks/UsbDisks.h"
#include "ui/Bundle.h"
#include "ui/DiskWatcher.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QAction;
class QComboBox;
class QMainWindow;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace sarnovelle {

class RunIndicator;
class RunNotifier;

// The controller of the application's one window: the window and its
// controls, the log, the verified boot image, the disk list, the enabling
// of the controls and the make flow that prepares a stick in the
// background. Lives on the main thread; every member is touched only there.
class MakerController : public QObject {
    Q_OBJECT

public:
    // Creates and shows the window, verifies the bundle's image, writes the
    // first log lines, starts `watcher` and lists the disks. `env` is where
    // disk commands go. Without a watcher, or when it cannot start (one
    // plain log line then), the list changes on Refresh only.
    explicit MakerController(Bundle bundle, DiskEnv env = DiskEnv{}, std::unique_ptr<DiskWatcher> watcher = nullptr);
    // Waits for the background thread of a run that has already reported
    // its end; see startRun for what happens to a run still going.
    ~MakerController() override;

    MakerController(const MakerController&) = delete;
    MakerController& operator=(const MakerController&) = delete;

    // The window and its kept controls. The log is a read-only plain-text
    // view that scrolls itself (logScroll and logView are the same widget).
    QMainWindow* window() const { return window_.get(); }
    QComboBox* diskPopup() const { return diskPopup_; }
    QPushButton* refreshButton() const { return refreshButton_; }
    QPushButton* makeButton() const { return makeButton_; }
    QPlainTextEdit* logScroll() const { return logScroll_; }
    QPlainTextEdit* logView() const { return logScroll_; }
    // "Check USB": checks the selected stick without changing it. The
    // application puts it in its "USB" menu; enabled as Make USB is.
    QAction* checkAction() const { return checkAction_; }

    const std::vector<UsbDisk>& disks() const { return disks_; }
    const Bytes& image() const { return image_; }
    const std::string& imageHash() const { return imageHash_; }
    bool imageOk() const { return imageOk_; }
    bool busy() const { return busy_; }
    // The indeterminate progress bar in the status bar, shown during a run.
    QProgressBar* runIndicator() const;

    // Whether the application may end now: at once when no run is going;
    // during a run only when the user answers "Quit Anyway" to the warning.
    // Closing the window asks the same.
    bool mayQuit();

    // How long the window waits after a disk event before listing the
    // disks again, so that a burst of events makes one listing.
    static constexpr int settleMilliseconds = 400;

    // Rebuilds the disk list and the pop-up, re-applies the enabling rule
    // and logs the outcome. The selected disk stays selected when it is
    // listed again: same identifier, serial and size. Otherwise the first
    // item is selected, as in a fresh list; never another disk that merely
    // took the old one's place or identifier.
    void refresh();
    // Applies the enabling rule to the pop-up and the two buttons.
    void updateButtons();
    // Appends "HH:mm:ss  <message>\n" to the log. Main thread only.
    void log(const QString& message);
    void log(const std::string& message);

public Q_SLOTS:
    void refreshClicked();
    void makeClicked();
    void checkClicked();

private:
    // Counts an application-modal alert of the window as open while it
    // lives; the disk list is not taken again behind an alert.
    class AlertOpen {
    public:
        explicit AlertOpen(MakerController& controller) : controller_(controller) { ++controller_.alertsOpen_; }
        ~AlertOpen()
        {
            --controller_.alertsOpen_;
            controller_.resumeFollowing();
        }
        AlertOpen(const AlertOpen&) = delete;
        AlertOpen& operator=(const AlertOpen&) = delete;

    private:
        MakerController& controller_;
    };

    // An automatic listing logs only when its outcome differs from the last.
    void relist(bool automatic);
    void startFollowing();
    void disksMayHaveChanged();
    void resumeFollowing();
    void settled();
    bool idle() const { return !busy_ && alertsOpen_ == 0; }

    void loadImage();
    void buildWindow();
    void startRun(UsbDisk disk);
    void finish(const std::optional<std::string>& failure, bool ejectFailed = false);
    // The check's end: its READY / NOT READY line in the log and an alert.
    void finishCheck(bool ready, const std::string& line);
    // The end of a run or a check: the controls come back and a quit
    // warning still up goes unanswered.
    void leaveBusy();
    void requireMainThread(const char* where) const;
    bool eventFilter(QObject* watched, QEvent* event) override;

    const Bundle bundle_;
    const DiskEnv env_;

    std::unique_ptr<QMainWindow> window_;
    QComboBox* diskPopup_;
    QPushButton* refreshButton_;
    QPushButton* makeButton_;
    QPlainTextEdit* logScroll_;
    QAction* checkAction_;

    std::vector<UsbDisk> disks_;
    Bytes image_;
    std::string imageHash_;
    bool imageOk_ = false;
    bool busy_ = false;

    // Following the disks: the watcher (absent: Refresh only), a change
    // reported and not yet listed, the alerts now open, the wait that
    // gathers a burst of events, and the last listing's labels and lines.
    std::unique_ptr<DiskWatcher> watcher_;
    bool changePending_ = false;
    int alertsOpen_ = 0;
    QTimer settleTimer_;
    std::vector<std::string> lastOutcome_;

    std::unique_ptr<RunIndicator> indicator_;
    // The word on the desktop when a run ends out of the user's sight, and
    // the stick of the current or last run that it names.
    std::unique_ptr<RunNotifier> notifier_;
    std::optional<UsbDisk> runDisk_;
    // The quit warning while it is shown; the user's "Quit Anyway" once
    // given (the process ends then, and no second warning may come up).
    QPointer<QMessageBox> quitQuestion_;
    bool quitConfirmed_ = false;

    // The thread of the current or last run; joined before the next run
    // starts and on destruction.
    std::thread run_;
};

} // namespace sarnovelle
