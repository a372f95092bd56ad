// The make flow: confirmation, the background run and its outcome.
#include "ui/MakerController.h"

#include "core/Config.h"
#include "maker/MakeUsb.h"
#include "ui/Alerts.h"
#include "ui/QtText.h"
#include "ui/RunIndicator.h"
#include "ui/RunNotifier.h"

#include <QComboBox>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>

#include <system_error>

namespace sarnovelle {

void MakerController::makeClicked()
{
    requireMainThread("makeClicked");
    const int index = diskPopup_->currentIndex();
    if (!imageOk_ || index < 0 || static_cast<std::size_t>(index) >= disks_.size()) {
        return;
    }
    UsbDisk disk = disks_[static_cast<std::size_t>(index)];

    QMessageBox confirm(window_.get());
    prepareAlert(confirm, QMessageBox::Warning, QStringLiteral("Erase USB disk"),
                 QStringLiteral("ALL data on this USB disk will be erased:\n\n")
                     + QString::fromStdString(disk.label()) + QStringLiteral("\n\nContinue?"));
    QPushButton* cancel = confirm.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton* erase = confirm.addButton(QStringLiteral("Erase"), QMessageBox::AcceptRole);
    // Return and Escape both answer Cancel; only a deliberate Erase goes on.
    confirm.setDefaultButton(cancel);
    confirm.setEscapeButton(cancel);
    // Until the run has started (busy) or the answer was Cancel, the disk
    // list stays as the user saw it when clicking.
    const AlertOpen open(*this);
    confirm.exec();
    if (confirm.clickedButton() != erase) {
        return;
    }

    busy_ = true;
    indicator_->start();
    updateButtons();
    startRun(std::move(disk));
}

void MakerController::startRun(UsbDisk disk)
{
    // The previous run posted its finish before it ended; its thread has
    // returned or is about to.
    if (run_.joinable()) {
        run_.join();
    }
    runDisk_ = disk;
    // Each line is posted to this object's thread; the event loop delivers
    // posted calls in order, so every progress line precedes the outcome.
    // `this` is only used to post: the destructor joins the thread, and the
    // entry point never destroys a controller whose run is still going.
    LogSink sink = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, line] { log(line); }, Qt::QueuedConnection);
    };
    auto work = [this, disk = std::move(disk), image = image_, imageHash = imageHash_, env = env_,
                 sink = std::move(sink)] {
        std::optional<std::string> failure;
        bool ejectFailed = false;
        try {
            ejectFailed = makeUsb(disk, image, imageHash, sink, env).ejectFailed;
        } catch (const std::exception& error) {
            // A MakerError's what() is exactly its message.
            failure = std::string(error.what());
        } catch (...) {
            failure = std::string("The preparation ended with an unknown error.");
        }
        QMetaObject::invokeMethod(
            this, [this, failure, ejectFailed] { finish(failure, ejectFailed); }, Qt::QueuedConnection);
    };
    try {
        run_ = std::thread(std::move(work));
    } catch (const std::system_error& error) {
        // No thread, so nothing was done to the disk: the run ends here.
        finish("The preparation could not start: " + std::string(error.what()));
    }
}

void MakerController::finish(const std::optional<std::string>& failure, bool ejectFailed)
{
    requireMainThread("finish");
    // Nothing is at risk any more: the outcome takes a quit warning's place.
    leaveBusy();
    // Disk events during the run and behind the outcome are answered by the
    // listing below.
    const AlertOpen open(*this);
    // Before the outcome's alert, which may take the focus.
    if (runDisk_) {
        notifier_->runEnded(*runDisk_, failure);
    }
    if (failure) {
        log("FAILED: " + *failure);
        showOutcome(window_.get(), QMessageBox::Critical, QStringLiteral("Failed"), QString::fromStdString(*failure));
    } else {
        log(std::string("DONE. The USB is ready. You can remove it."));
        QString ready = QStringLiteral("The USB is ready.");
        if (ejectFailed) {
            // Still mounted: pulling it now could undo the work.
            ready += QLatin1Char('\n') + fromStd(ejectFailedLine);
        }
        showOutcome(window_.get(), QMessageBox::Information, fromStd(Config::title), ready);
    }
    // An ejected stick is gone from the list, a failed one stays to be
    // tried again.
    refresh();
}

void MakerController::leaveBusy()
{
    busy_ = false;
    indicator_->stop();
    updateButtons();
    if (quitQuestion_ != nullptr) {
        quitQuestion_->reject();
    }
}

} // namespace sarnovelle
