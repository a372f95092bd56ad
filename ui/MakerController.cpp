#include "ui/MakerController.h"

#include "core/Config.h"
#include "ui/EnablingRule.h"
#include "ui/QtText.h"
#include "ui/RunIndicator.h"
#include "ui/WindowLayout.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QThread>
#include <QTime>

namespace sarnovelle {

namespace {

constexpr int contentWidth = 720;
constexpr int contentHeight = 460;
constexpr int minimumWidth = 560;
constexpr int minimumHeight = 380;
constexpr int logPointSize = 11;

const char* const instructions = "1. Insert a USB stick (everything on it will be erased).\n"
                                 "2. Select it below and click Make USB.\n"
                                 "3. On the device PC: turn Secure Boot off in BIOS, insert the USB and power on.";

} // namespace

MakerController::MakerController(Bundle bundle, DiskEnv env)
    : bundle_(std::move(bundle)),
      env_(std::move(env)),
      window_(std::make_unique<QMainWindow>()),
      diskPopup_(new QComboBox),
      refreshButton_(new QPushButton(QStringLiteral("Refresh"))),
      makeButton_(new QPushButton(QStringLiteral("Make USB"))),
      logScroll_(new QPlainTextEdit)
{
    loadImage();
    buildWindow();
    log("Image: product image, " + std::to_string(image_.size()) + " bytes, SHA-256 " + imageHash_);
    if (!imageOk_) {
        log(std::string("The embedded image does not match this app's expected SHA-256. "
                        "Making a USB is disabled."));
    }
    refresh();
}

MakerController::~MakerController()
{
    window_->removeEventFilter(this);
    // A run posts to this object until it has posted its finish; once
    // finish ran (not busy) the thread is done or just returning. A run
    // still going at the application's end never gets here: the entry point
    // ends the process instead of waiting for it.
    if (run_.joinable()) {
        run_.join();
    }
}

void MakerController::requireMainThread(const char* where) const
{
    if (QThread::currentThread() != thread()) {
        qFatal("MakerController::%s called off the main thread", where);
    }
}

void MakerController::loadImage()
{
    VerifiedImage verified = verifyImage(bundle_);
    image_ = std::move(verified.image);
    imageHash_ = std::move(verified.imageHash);
    imageOk_ = verified.imageOk;
}

void MakerController::buildWindow()
{
    window_->setWindowTitle(fromStd(Config::title));
    // The window is never destroyed by closing it; this object owns it.
    window_->setAttribute(Qt::WA_DeleteOnClose, false);

    auto* label = new QLabel(QString::fromUtf8(instructions));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);

    connect(refreshButton_, &QPushButton::clicked, this, &MakerController::refreshClicked);
    connect(makeButton_, &QPushButton::clicked, this, &MakerController::makeClicked);

    logScroll_->setReadOnly(true);
    logScroll_->setUndoRedoEnabled(false);
    QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    logFont.setPointSize(logPointSize);
    logFont.setWeight(QFont::Normal);
    logScroll_->setFont(logFont);

    auto* content = new QWidget;
    // The pop-up gives way first: a long disk label narrows it instead of
    // widening the window or squeezing the buttons.
    diskPopup_->setSizePolicy(QSizePolicy::Ignored, diskPopup_->sizePolicy().verticalPolicy());
    diskPopup_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto* layout = new WindowLayout(content);
    layout->addWidget(label);
    layout->addWidget(diskPopup_);
    layout->addWidget(refreshButton_);
    layout->addWidget(makeButton_);
    layout->addWidget(logScroll_);
    content->setMinimumSize(minimumWidth, minimumHeight);
    window_->setCentralWidget(content);
    window_->resize(contentWidth, contentHeight);
    indicator_ = std::make_unique<RunIndicator>(*window_);
    // Closing the window during a run asks first (mayQuit).
    window_->installEventFilter(this);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window_->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window_->size(),
                                                 screen->availableGeometry()));
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void MakerController::refreshClicked()
{
    refresh();
}

void MakerController::refresh()
{
    requireMainThread("refresh");
    diskPopup_->clear();
    std::vector<LeftOutDisk> leftOut;
    try {
        UsbDiskSurvey survey = surveyUsbDisks(env_);
        disks_ = std::move(survey.disks);
        leftOut = std::move(survey.leftOut);
    } catch (const std::exception& error) {
        // A MakerError's what() is exactly its message.
        disks_.clear();
        log("Cannot list disks: " + std::string(error.what()));
    }
    for (const UsbDisk& disk : disks_) {
        diskPopup_->addItem(QString::fromStdString(disk.label()));
    }
    updateButtons();
    if (!disks_.empty()) {
        log(std::to_string(disks_.size()) + " USB disk(s) found.");
    } else {
        log(std::string("No USB disk found. Insert a USB stick and click Refresh."));
    }
    // The disks the user may be looking for and why they are not offered.
    for (const LeftOutDisk& disk : leftOut) {
        log("Left out " + disk.id + ": " + disk.reason);
    }
}

void MakerController::updateButtons()
{
    const ControlStates states = enablingRule(busy_, imageOk_, !disks_.empty());
    diskPopup_->setEnabled(states.diskPopup);
    refreshButton_->setEnabled(states.refreshButton);
    makeButton_->setEnabled(states.makeButton);
}

void MakerController::log(const std::string& message)
{
    log(QString::fromStdString(message));
}

void MakerController::log(const QString& message)
{
    requireMainThread("log");
    const QString line = QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ")
                         + message + QLatin1Char('\n');
    QTextCharFormat format;
    format.setFont(logScroll_->font());
    // No explicit colour: the palette's text colour applies, and follows a
    // change of the light or dark appearance.
    format.clearForeground();
    QTextCursor end(logScroll_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(line, format);
    QScrollBar* bar = logScroll_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace sarnovelle
