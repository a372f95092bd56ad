#include "UiSupport.h"

#include "core/Plist.h"
#include "ui/MakerController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <system_error>
#include <thread>

namespace sarnovelle::test {

Bundle writeBundle(const TempDir& dir, const Bytes& image, const std::optional<std::string>& expected)
{
    const auto folder = dir / "bundle";
    dir.write("bundle/BOOTX64.EFI", std::string(image.begin(), image.end()));
    PlistDict info;
    info.setText("CFBundleName", "Sarnovelle USB Maker");
    if (expected) {
        info.setText("SarnovelleImageSHA256", *expected);
    }
    dir.write("bundle/Info.plist", info.toXml());
    return Bundle::inFolder(folder);
}

Bytes sampleImage()
{
    return toBytes("MZ sample boot image\n\x01\x02\x03");
}

DiskEnv noDisksEnv(const TempDir& dir)
{
    const auto diskutil = dir.script("no-disks-diskutil", R"(
if [ "$1" = list ]; then
  printf '%s' '<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>WholeDisks</key><array/></dict></plist>'
  exit 0
fi
if [ "$1" = info ] && [ "$3" = / ]; then
  printf '%s' '<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>ParentWholeDisk</key><string>disk0</string></dict></plist>'
  exit 0
fi
exit 1
)");
    std::filesystem::create_directories(dir / "sys");
    return DiskEnv{diskutil.string(), (dir / "sys").string()};
}

std::vector<std::string> logMessages(const MakerController& controller)
{
    const QString text = controller.logView()->toPlainText();
    EXPECT_TRUE(text.isEmpty() || text.endsWith(QLatin1Char('\n'))) << text.toStdString();
    static const QRegularExpression stamp(QStringLiteral("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]  "));
    std::vector<std::string> messages;
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeLast(); // after the final line feed
    for (const QString& line : lines) {
        EXPECT_TRUE(stamp.match(line).hasMatch()) << "not time-stamped: " << line.toStdString();
        messages.push_back(line.mid(10).toStdString());
    }
    return messages;
}

void settle(int milliseconds)
{
    QTest::qWait(milliseconds);
}

AlertAnswerer::AlertAnswerer(std::vector<QString> answers) : answers_(answers.begin(), answers.end())
{
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, &AlertAnswerer::poll);
    timer_.start();
}

void AlertAnswerer::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box == left_) {
        return;
    }
    SeenAlert alert;
    alert.icon = box->icon();
    alert.text = box->text();
    alert.informativeText = box->informativeText();
    alert.windowTitle = box->windowTitle();
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        alert.informativePlain = label->textFormat() == Qt::PlainText;
    }
    for (QAbstractButton* button : box->buttons()) {
        alert.buttons << button->text();
    }
    if (box->defaultButton() != nullptr) {
        alert.defaultButton = box->defaultButton()->text();
    }
    if (box->escapeButton() != nullptr) {
        alert.escapeButton = box->escapeButton()->text();
    }
    seen_.push_back(alert);
    if (inspect_) {
        inspect_(alert);
    }

    if (answers_.empty()) {
        ADD_FAILURE() << "unexpected alert: " << alert.text.toStdString();
        box->reject();
        return;
    }
    const QString answer = answers_.front();
    answers_.pop_front();
    if (answer == QLatin1String("<Leave>")) {
        left_ = box;
    } else if (answer == QLatin1String("<Return>")) {
        QTest::keyClick(box, Qt::Key_Return);
    } else if (answer == QLatin1String("<Escape>")) {
        QTest::keyClick(box, Qt::Key_Escape);
    } else {
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == answer) {
                QTest::mouseClick(button, Qt::LeftButton);
                return;
            }
        }
        ADD_FAILURE() << "the alert has no button " << answer.toStdString();
        box->reject();
    }
}

ThreadsCannotStart::ThreadsCannotStart()
{
    saved_ = ::pthread_getattr_default_np(&previous_) == 0;
    pthread_attr_t huge;
    ::pthread_attr_init(&huge);
    // 100 TiB: no system maps that much for one stack.
    ::pthread_attr_setstacksize(&huge, std::size_t{100} << 40);
    const bool set = ::pthread_setattr_default_np(&huge) == 0;
    ::pthread_attr_destroy(&huge);
    if (set) {
        try {
            std::thread probe([] {});
            probe.join();
        } catch (const std::system_error&) {
            effective_ = true;
        }
    }
}

ThreadsCannotStart::~ThreadsCannotStart()
{
    if (saved_) {
        ::pthread_setattr_default_np(&previous_);
        ::pthread_attr_destroy(&previous_);
    }
}

bool AlertAnswerer::waitForAlerts(std::size_t count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (seen_.size() < count && !deadline.hasExpired()) {
        QTest::qWait(10);
    }
    return seen_.size() >= count;
}

} // namespace sarnovelle::test
