// What the window shows while a run works and when it ends: the busy
// signs, the list taken again, the eject that failed, and a run whose
// thread cannot start. Against the fake disk utility's simulated stick,
// with the alerts answered as a user would.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TwoSticks.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::AlertAnswerer;
using test::Arguments;
using test::doneLine;
using test::FakeAnswer;
using test::FakeDiskutil;
using test::FakeSysfs;
using test::listCommand;
using test::partitionCommand;
using test::SeenAlert;
using test::TempDir;

const QString label3 = QStringLiteral("disk3: Other stick  8.0 GB  (serial OTHER)");

PlistDict wholeDisks(const std::vector<std::string>& identifiers)
{
    PlistDict list;
    list.setTextList("WholeDisks", identifiers);
    return list;
}

bool busyCursorShown()
{
    const QCursor* cursor = QGuiApplication::overrideCursor();
    return cursor != nullptr && cursor->shape() == Qt::BusyCursor;
}

class RunEnd : public ::testing::Test {
protected:
    RunEnd()
    {
        image = test::sampleImage();
        test::addTwoSticks(fake, sysfs);
    }

    // disk4, the simulated stick, selected.
    void makeController()
    {
        controller = std::make_unique<MakerController>(test::writeBundle(dir, image, sha256Hex(image)), fake.env());
        controller->diskPopup()->setCurrentIndex(1);
        test::settle();
        logBefore = test::logMessages(*controller).size();
    }

    std::vector<std::string> newLines() const
    {
        const auto all = test::logMessages(*controller);
        return {all.begin() + static_cast<std::ptrdiff_t>(logBefore), all.end()};
    }

    QStringList items() const
    {
        QStringList titles;
        for (int i = 0; i < controller->diskPopup()->count(); ++i) {
            titles << controller->diskPopup()->itemText(i);
        }
        return titles;
    }

    // The window's state at the moment an alert comes up.
    struct Behind {
        int popupItems = -1;
        int listings = -1;
        std::string lastLine;
        bool busyCursor = false;
        bool indicatorShown = false;
    };

    // Records, for every alert, what the window showed behind it.
    void watchBehindAlerts(AlertAnswerer& answerer)
    {
        answerer.onAlert([this](const SeenAlert&) {
            behind.push_back({controller->diskPopup()->count(), fake.count(listCommand),
                              test::logMessages(*controller).back(), busyCursorShown(),
                              controller->runIndicator()->isVisible()});
        });
    }

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
    Bytes image;
    std::unique_ptr<MakerController> controller;
    std::size_t logBefore = 0;
    std::vector<Behind> behind;
};

// Taken again once, after the outcome line and its alert: the ejected
// stick is gone from the pop-up.
TEST_F(RunEnd, AfterDoneTheListIsTakenAgainWithoutTheEjectedStick)
{
    // At start, for the run's own check, then after the run.
    fake.answer(listCommand, std::vector<PlistDict>{wholeDisks({"disk3", "disk4"}), wholeDisks({"disk3", "disk4"}),
                                                    wholeDisks({"disk3"})});
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
    watchBehindAlerts(answerer);
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(2));
    test::settle();

    ASSERT_EQ(behind.size(), 2U);
    EXPECT_EQ(behind[1].lastLine, doneLine) << "the outcome line stands before the alert";
    EXPECT_EQ(behind[1].popupItems, 2) << "the list is not taken before the alert is answered";
    EXPECT_EQ(behind[1].listings, 2);
    EXPECT_EQ(fake.count(listCommand), 3) << "taken exactly once at the end";

    const auto lines = newLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[lines.size() - 2], doneLine);
    EXPECT_EQ(lines.back(), "1 USB disk(s) found.");
    EXPECT_EQ(items(), QStringList{label3});
    ASSERT_EQ(controller->disks().size(), 1U);
    EXPECT_EQ(controller->disks()[0].id, "disk3");
    EXPECT_TRUE(controller->makeButton()->isEnabled());
}

// A failed stick is still there and selectable for another try.
TEST_F(RunEnd, AfterFailedTheListIsTakenAgainAndTheStickStaysSelectable)
{
    fake.answer(partitionCommand, FakeAnswer{"Error: -69877: Couldn't open device\n", 1, false});
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>"), QStringLiteral("Erase"),
                            QStringLiteral("<Return>")});
    watchBehindAlerts(answerer);
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(2));
    test::settle();

    ASSERT_GE(behind.size(), 2U);
    EXPECT_EQ(behind[1].lastLine, "FAILED: diskutil partitionDisk failed (exit 1). See the diskutil lines above.");
    EXPECT_EQ(behind[1].listings, 2);
    EXPECT_EQ(fake.count(listCommand), 3);
    EXPECT_EQ(newLines().back(), "2 USB disk(s) found.");
    EXPECT_EQ(items().size(), 2);
    EXPECT_EQ(controller->diskPopup()->currentIndex(), 1) << "the failed stick stays selected";
    EXPECT_TRUE(controller->makeButton()->isEnabled());

    // The same stick again: the run reaches the erase a second time.
    fake.clearInvocations();
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(4));
    EXPECT_EQ(fake.count(partitionCommand), 1);
}

// Still mounted after the run: the log and the alert both say to eject it
// first, naming the file manager, not a macOS program.
TEST_F(RunEnd, FailedEjectIsRepeatedInTheAlertUnderTheReadyLine)
{
    fake.simulateStick({.disk = "disk4", .ejectStatus = 1});
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(2));

#ifdef __APPLE__
    const std::string ejectLine = "Eject failed. Eject the USB in Finder before removing it.";
#else
    const std::string ejectLine = "Eject failed. Eject the USB in the file manager before removing it.";
#endif
    const auto lines = newLines();
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(lines[lines.size() - 3], ejectLine);
    EXPECT_EQ(lines[lines.size() - 2], doneLine);
    const SeenAlert& outcome = answerer.seen()[1];
    EXPECT_EQ(outcome.icon, QMessageBox::Information);
    EXPECT_EQ(outcome.text, QStringLiteral("Tessamir Sarnovelle USB Maker"));
    EXPECT_EQ(outcome.informativeText, QStringLiteral("The USB is ready.\n") + QString::fromStdString(ejectLine));
}

// A busy cursor and a moving bar in the status bar while the run works;
// the content keeps its size; both signs are gone when the outcome shows.
TEST_F(RunEnd, BusySignsShowDuringTheRunAndGoAtItsEnd)
{
    fake.simulateStick({.disk = "disk4", .mountDelay = 2});
    makeController();
    QMainWindow* window = controller->window();
    const QSize contentBefore = window->centralWidget()->size();
    const int heightBefore = window->height();
    EXPECT_FALSE(controller->runIndicator()->isVisible());
    EXPECT_FALSE(window->statusBar()->isVisible()) << "no room taken while idle";
    EXPECT_FALSE(busyCursorShown());

    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
    watchBehindAlerts(answerer);
    controller->makeButton()->click();
    ASSERT_TRUE(controller->busy());
    test::settle(100);
    EXPECT_TRUE(busyCursorShown());
    QProgressBar* bar = controller->runIndicator();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 0) << "indeterminate";
    EXPECT_EQ(window->centralWidget()->size(), contentBefore) << "the window grows by the status bar";
    EXPECT_GT(window->height(), heightBefore);
    EXPECT_GT(window->statusBar()->geometry().top(), window->centralWidget()->geometry().bottom())
        << "below the content, not over it";

    ASSERT_TRUE(answerer.waitForAlerts(2));
    ASSERT_EQ(behind.size(), 2U);
    EXPECT_FALSE(behind[0].busyCursor) << "not before Erase";
    EXPECT_FALSE(behind[0].indicatorShown);
    EXPECT_FALSE(behind[1].busyCursor) << "gone when the outcome shows";
    EXPECT_FALSE(behind[1].indicatorShown);
    test::settle();
    EXPECT_FALSE(busyCursorShown());
    EXPECT_FALSE(bar->isVisible());
    EXPECT_EQ(window->height(), heightBefore);
    EXPECT_EQ(window->centralWidget()->size(), contentBefore);
}

TEST_F(RunEnd, BusySignsGoWhenTheControllerGoesDuringARun)
{
    fake.simulateStick({.disk = "disk4", .mountDelay = 1});
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase")});
    controller->makeButton()->click();
    ASSERT_TRUE(busyCursorShown());
    controller.reset();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// The system refuses the run's thread: the run ends as failed at once,
// before anything is done to the disk, and the window is usable again.
TEST_F(RunEnd, RunWhoseThreadCannotStartFailsAndLeavesTheButtonsEnabled)
{
    makeController();
    fake.clearInvocations();
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>"), QStringLiteral("Erase"),
                            QStringLiteral("<Return>")});
    {
        test::ThreadsCannotStart refused;
        if (!refused.effective()) {
            GTEST_SKIP() << "this system starts threads even with 100 TiB stacks";
        }
        controller->makeButton()->click();
    }
    ASSERT_TRUE(answerer.waitForAlerts(2));
    const auto lines = newLines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0], "FAILED: The preparation could not start: Resource temporarily unavailable");
    EXPECT_EQ(lines[1], "2 USB disk(s) found.");
    EXPECT_EQ(answerer.seen()[1].text, QStringLiteral("Failed"));
    EXPECT_EQ(answerer.seen()[1].informativeText,
              QStringLiteral("The preparation could not start: Resource temporarily unavailable"));
    EXPECT_FALSE(controller->busy());
    EXPECT_TRUE(controller->diskPopup()->isEnabled());
    EXPECT_TRUE(controller->refreshButton()->isEnabled());
    EXPECT_TRUE(controller->makeButton()->isEnabled());
    EXPECT_FALSE(busyCursorShown());
    EXPECT_FALSE(controller->runIndicator()->isVisible());
    EXPECT_EQ(fake.count(partitionCommand), 0);

    // Threads start again: the next run goes through.
    controller->diskPopup()->setCurrentIndex(1);
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(4));
    EXPECT_EQ(fake.count(partitionCommand), 1);
}

} // namespace
} // namespace sarnovelle
