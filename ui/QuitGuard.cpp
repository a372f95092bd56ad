// Quitting or closing the window while a run is preparing a stick.
#include "ui/MakerController.h"

#include "ui/Alerts.h"
#include "ui/RunIndicator.h"

#include <QCloseEvent>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>

namespace sarnovelle {

QProgressBar* MakerController::runIndicator() const
{
    return indicator_->progressBar();
}

bool MakerController::mayQuit()
{
    requireMainThread("mayQuit");
    if (!busy_ || quitConfirmed_) {
        return true;
    }
    // A second request while the warning is up (a key held down, the
    // window's close button) waits for the first answer.
    if (quitQuestion_ != nullptr) {
        return false;
    }
    QMessageBox question(window_.get());
    prepareAlert(question, QMessageBox::Warning,
                 QStringLiteral("A USB stick is being prepared. Quitting now can leave it unusable."), QString());
    QPushButton* keepWorking = question.addButton(QStringLiteral("Keep Working"), QMessageBox::RejectRole);
    QPushButton* quitAnyway = question.addButton(QStringLiteral("Quit Anyway"), QMessageBox::DestructiveRole);
    // Return and Escape both keep the run going; only a deliberate click quits.
    question.setDefaultButton(keepWorking);
    question.setEscapeButton(keepWorking);
    quitQuestion_ = &question;
    {
        const AlertOpen open(*this);
        question.exec();
    }
    quitQuestion_ = nullptr;
    // A run that ended meanwhile took the warning away unanswered (finish).
    quitConfirmed_ = question.clickedButton() == quitAnyway;
    return quitConfirmed_;
}

bool MakerController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_.get() && event->type() == QEvent::Close && !mayQuit()) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace sarnovelle
