#include "ui/MakerController.h"

#include "core/Config.h"
#include "ui/EnablingRule.h"
#include "ui/QtText.h"
#include "ui/RunIndicator.h"
#include "ui/RunNotifier.h"
#include "ui/WindowLayout.h"

#include <QAction>
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

// What assistive technologies (a screen reader) say about the controls
// beyond their names.
const char* const popupDescription = "The USB stick to erase and make bootable";
const char* const refreshDescription = "Lists the USB disks again";
const char* const makeDescription = "Erases the selected USB disk and makes it a UEFI boot stick";
const char* const logDescription = "What the app did, with the time of each step";

} // namespace

MakerController::MakerController(Bundle bundle, DiskEnv env, std::unique_ptr<DiskWatcher> watcher)
    : bundle_(std::move(bundle)),
      env_(std::move(env)),
      window_(std::make_unique<QMainWindow>()),
      diskPopup_(new QComboBox),
      refreshButton_(new QPushButton(QStringLiteral("Refresh"))),
      makeButton_(new QPushButton(QStringLiteral("Make USB"))),
      logScroll_(new QPlainTextEdit),
      checkAction_(new QAction(QStringLiteral("Check USB"), this)),
      watcher_(std::move(watcher))
{
    loadImage();
    buildWindow();
    log("Image: product image, " + std::to_string(image_.size()) + " bytes, SHA-256 " + imageHash_);
    if (!imageOk_) {
        log(std::string("The embedded image does not match this app's expected SHA-256. "
                        "Making a USB is disabled."));
    }
    // Watching first: a stick plugged in while the list is taken is not missed.
    startFollowing();
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
    // A screen reader reads the instructions as what the window is for.
    window_->setAccessibleDescription(label->text());

    connect(refreshButton_, &QPushButton::clicked, this, &MakerController::refreshClicked);
    connect(makeButton_, &QPushButton::clicked, this, &MakerController::makeClicked);
    connect(checkAction_, &QAction::triggered, this, &MakerController::checkClicked);

    logScroll_->setReadOnly(true);
    logScroll_->setUndoRedoEnabled(false);
    QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    logFont.setPointSize(logPointSize);
    logFont.setWeight(QFont::Normal);
    logScroll_->setFont(logFont);
    // Tab leaves the log, so the keyboard goes round the whole window.
    logScroll_->setTabChangesFocus(true);

    // Names and descriptions for assistive technologies; the buttons are
    // named by their texts, the pop-up's value is its current row.
    diskPopup_->setAccessibleName(QStringLiteral("USB disk"));
    diskPopup_->setAccessibleDescription(QString::fromUtf8(popupDescription));
    refreshButton_->setAccessibleDescription(QString::fromUtf8(refreshDescription));
    makeButton_->setAccessibleDescription(QString::fromUtf8(makeDescription));
    logScroll_->setAccessibleName(QStringLiteral("Log"));
    logScroll_->setAccessibleDescription(QString::fromUtf8(logDescription));

    auto* content = new QWidget;
    // The pop-up gives way first: a long disk label narrows it instead of
    // widening the window or squeezing the buttons.
    diskPopup_->setSizePolicy(QSizePolicy::Ignored, diskPopup_->sizePolicy().verticalPolicy());
    diskPopup_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    auto* layout = new WindowLayout(content);
    layout->addWidget(label);
    // On Linux, Qt's bridge to the accessibility bus names a combo box by
    // its current row and its purpose by the label it is the buddy of: a
    // label that is never shown says "USB disk" there.
    auto* popupLabel = new QLabel(QStringLiteral("USB disk"), content);
    popupLabel->setBuddy(diskPopup_);
    popupLabel->hide();
    layout->addWidget(diskPopup_);
    layout->addWidget(refreshButton_);
    layout->addWidget(makeButton_);
    layout->addWidget(logScroll_);
    content->setMinimumSize(minimumWidth, minimumHeight);
    window_->setCentralWidget(content);
    window_->resize(contentWidth, contentHeight);
    indicator_ = std::make_unique<RunIndicator>(*window_);
    notifier_ = std::make_unique<RunNotifier>(*window_);
    // The keyboard's order is the window's, top to bottom.
    QWidget::setTabOrder(diskPopup_, refreshButton_);
    QWidget::setTabOrder(refreshButton_, makeButton_);
    QWidget::setTabOrder(makeButton_, logScroll_);
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
    relist(false);
}

void MakerController::relist(bool automatic)
{
    requireMainThread("refresh");
    // This listing answers every disk event reported so far.
    changePending_ = false;
    settleTimer_.stop();

    std::optional<UsbDisk> selected;
    if (const int index = diskPopup_->currentIndex(); index >= 0 && static_cast<std::size_t>(index) < disks_.size()) {
        selected = disks_[static_cast<std::size_t>(index)];
    }
    std::vector<std::string> lines;
    std::vector<LeftOutDisk> leftOut;
    try {
        UsbDiskSurvey survey = surveyUsbDisks(env_);
        disks_ = std::move(survey.disks);
        leftOut = std::move(survey.leftOut);
    } catch (const std::exception& error) {
        // A MakerError's what() is exactly its message.
        disks_.clear();
        lines.push_back("Cannot list disks: " + std::string(error.what()));
    }
    if (!disks_.empty()) {
        lines.push_back(std::to_string(disks_.size()) + " USB disk(s) found.");
    } else {
        lines.emplace_back("No USB disk found. Insert a USB stick and click Refresh.");
    }
    // The disks the user may be looking for and why they are not offered.
    for (const LeftOutDisk& disk : leftOut) {
        lines.push_back("Left out " + disk.id + ": " + disk.reason);
    }

    diskPopup_->clear();
    std::vector<std::string> outcome;
    int kept = -1;
    for (std::size_t i = 0; i < disks_.size(); ++i) {
        const UsbDisk& disk = disks_[i];
        outcome.push_back(disk.label());
        diskPopup_->addItem(QString::fromStdString(outcome.back()));
        // The same stick only: a look-alike plugged in under the same name
        // has another disk sequence number.
        if (selected && disk.id == selected->id && disk.sequence == selected->sequence
            && disk.serial == selected->serial && disk.size == selected->size) {
            kept = static_cast<int>(i);
        }
    }
    if (kept >= 0) {
        diskPopup_->setCurrentIndex(kept);
    }
    updateButtons();

    outcome.insert(outcome.end(), lines.begin(), lines.end());
    const bool selectionMoved = selected && kept < 0;
    if (automatic && outcome == lastOutcome_ && !selectionMoved) {
        return; // nothing the user would see has changed
    }
    lastOutcome_ = std::move(outcome);
    for (const std::string& line : lines) {
        log(line);
    }
    // After Refresh or a run the user asked for the new list; a list that
    // changed by itself says so when the selection had to move.
    if (automatic && selectionMoved) {
        log("The selected disk " + selected->id + " is no longer there; "
            + (disks_.empty() ? std::string("no disk is selected.") : disks_.front().id + " is selected now."));
    }
}

void MakerController::updateButtons()
{
    const ControlStates states = enablingRule(busy_, imageOk_, !disks_.empty());
    diskPopup_->setEnabled(states.diskPopup);
    refreshButton_->setEnabled(states.refreshButton);
    makeButton_->setEnabled(states.makeButton);
    checkAction_->setEnabled(states.makeButton);
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
