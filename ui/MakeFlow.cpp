// The make flow: confirmation, the background run and its outcome.
#include "ui/MakerController.h"

#include "core/Config.h"
#include "maker/MakeUsb.h"
#include "ui/QtText.h"

#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>

namespace sarnovelle {

namespace {

// An application-modal alert. Plain text throughout: a disk's name must
// never be read as markup.
void prepareAlert(QMessageBox& box, QMessageBox::Icon icon, const QString& text, const QString& informative)
{
    box.setWindowTitle(fromStd(Config::title));
    box.setIcon(icon);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setInformativeText(informative);
    // The informative text's label guesses its format; a disk name with
    // angle brackets would be taken for markup.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
    }
    box.setWindowModality(Qt::ApplicationModal);
}

// Shows an alert with the platform's single default button.
void showOutcome(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& informative)
{
    QMessageBox box(parent);
    prepareAlert(box, icon, text, informative);
    box.exec();
}

} // namespace

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
    confirm.exec();
    if (confirm.clickedButton() != erase) {
        return;
    }

    busy_ = true;
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
    // Each line is posted to this object's thread; the event loop delivers
    // posted calls in order, so every progress line precedes the outcome.
    // `this` is only used to post: the destructor joins the thread, and the
    // entry point never destroys a controller whose run is still going.
    LogSink sink = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, line] { log(line); }, Qt::QueuedConnection);
    };
    run_ = std::thread([this, disk = std::move(disk), image = image_, imageHash = imageHash_, env = env_,
                        sink = std::move(sink)] {
        std::optional<std::string> failure;
        try {
            makeUsb(disk, image, imageHash, sink, env);
        } catch (const std::exception& error) {
            // A MakerError's what() is exactly its message.
            failure = std::string(error.what());
        } catch (...) {
            failure = std::string("The preparation ended with an unknown error.");
        }
        QMetaObject::invokeMethod(
            this, [this, failure] { finish(failure); }, Qt::QueuedConnection);
    });
}

void MakerController::finish(const std::optional<std::string>& failure)
{
    requireMainThread("finish");
    busy_ = false;
    updateButtons();
    if (failure) {
        log("FAILED: " + *failure);
        showOutcome(window_.get(), QMessageBox::Critical, QStringLiteral("Failed"), QString::fromStdString(*failure));
    } else {
        log(std::string("DONE. The USB is ready. You can remove it."));
        showOutcome(window_.get(), QMessageBox::Information, fromStd(Config::title),
                    QStringLiteral("The USB is ready."));
    }
}

} // namespace sarnovelle
