// The check flow: the selected stick checked in the background, without
// changing it, and its verdict.
#include "ui/MakerController.h"

#include "maker/StickCheck.h"
#include "ui/Alerts.h"
#include "ui/RunIndicator.h"

#include <QComboBox>
#include <QMainWindow>
#include <QMessageBox>

#include <system_error>

namespace sarnovelle {

void MakerController::checkClicked()
{
    requireMainThread("checkClicked");
    const int index = diskPopup_->currentIndex();
    if (busy_ || !imageOk_ || index < 0 || static_cast<std::size_t>(index) >= disks_.size()) {
        return;
    }
    UsbDisk disk = disks_[static_cast<std::size_t>(index)];
    // Like a run: the controls wait until the verdict is in.
    busy_ = true;
    indicator_->start();
    updateButtons();
    if (run_.joinable()) {
        run_.join();
    }
    LogSink sink = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, line] { log(line); }, Qt::QueuedConnection);
    };
    auto work = [this, disk = std::move(disk), imageHash = imageHash_, env = env_, sink = std::move(sink)] {
        const StickVerdict verdict = checkStick(disk, imageHash, sink, env);
        QMetaObject::invokeMethod(
            this, [this, verdict] { finishCheck(verdict.ready, verdict.line); }, Qt::QueuedConnection);
    };
    try {
        run_ = std::thread(std::move(work));
    } catch (const std::system_error& error) {
        finishCheck(false, "NOT READY: the check could not start: " + std::string(error.what()));
    }
}

void MakerController::finishCheck(bool ready, const std::string& line)
{
    requireMainThread("finishCheck");
    leaveBusy();
    const AlertOpen open(*this);
    log(line);
    showOutcome(window_.get(), ready ? QMessageBox::Information : QMessageBox::Warning,
                ready ? QStringLiteral("The USB is ready.") : QStringLiteral("The USB is not ready."),
                QString::fromStdString(line));
    // Disk events during the check are answered by a fresh list.
    refresh();
}

} // namespace sarnovelle
