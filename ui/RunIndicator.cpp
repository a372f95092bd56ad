#include "ui/RunIndicator.h"

#include <QApplication>
#include <QCursor>
#include <QMainWindow>
#include <QProgressBar>
#include <QStatusBar>

namespace sarnovelle {

namespace {

constexpr int barWidth = 160;

// A maximised or full-screen window keeps its size; only a normal one
// grows and shrinks with the status bar.
bool keepsItsSize(const QMainWindow& window)
{
    return (window.windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) != 0;
}

} // namespace

RunIndicator::RunIndicator(QMainWindow& window)
    : window_(window), status_(new QStatusBar), bar_(new QProgressBar)
{
    // Minimum and maximum 0: the bar shows activity, not a share done.
    bar_->setRange(0, 0);
    bar_->setTextVisible(false);
    bar_->setMaximumWidth(barWidth);
    bar_->setAccessibleName(QStringLiteral("Making the USB"));
    bar_->setAccessibleDescription(QStringLiteral("Shown while the USB stick is being prepared"));
    status_->setSizeGripEnabled(false);
    status_->addPermanentWidget(bar_);
    // Hidden before the window is first shown, so it takes no room.
    status_->hide();
    window_.setStatusBar(status_);
}

RunIndicator::~RunIndicator()
{
    if (running_) {
        QApplication::restoreOverrideCursor();
    }
}

void RunIndicator::start()
{
    if (running_) {
        return;
    }
    running_ = true;
    // The arrow stays usable: the menu, the close button and the alerts
    // still answer during a run.
    QApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    status_->show();
    addedHeight_ = 0;
    if (!keepsItsSize(window_)) {
        addedHeight_ = status_->sizeHint().height();
        window_.resize(window_.width(), window_.height() + addedHeight_);
    }
}

void RunIndicator::stop()
{
    if (!running_) {
        return;
    }
    running_ = false;
    QApplication::restoreOverrideCursor();
    status_->hide();
    if (addedHeight_ > 0 && !keepsItsSize(window_)) {
        window_.resize(window_.width(), window_.height() - addedHeight_);
    }
    addedHeight_ = 0;
}

} // namespace sarnovelle
