// The disk list follows the sticks: the watcher's events, gathered over a
// short wait, list the disks again while the window is idle; events during
// a run or behind an alert wait until it is idle again.
#include "ui/MakerController.h"

namespace sarnovelle {

void MakerController::startFollowing()
{
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(settleMilliseconds);
    connect(&settleTimer_, &QTimer::timeout, this, &MakerController::settled);
    if (watcher_ == nullptr) {
        return;
    }
    connect(watcher_.get(), &DiskWatcher::disksMayHaveChanged, this, &MakerController::disksMayHaveChanged);
    if (!watcher_->start()) {
        watcher_.reset();
        log(std::string("Sticks plugged in or pulled out show after a click on Refresh."));
    }
}

void MakerController::disksMayHaveChanged()
{
    changePending_ = true;
    resumeFollowing();
}

void MakerController::resumeFollowing()
{
    // The first event starts the wait; the rest of its burst falls into it.
    if (changePending_ && idle() && !settleTimer_.isActive()) {
        settleTimer_.start();
    }
}

void MakerController::settled()
{
    // A run or an alert that began during the wait holds the change: the
    // run's end lists the disks anyway, a closed alert resumes the wait.
    if (changePending_ && idle()) {
        relist(true);
    }
}

} // namespace sarnovelle
