// Quitting (Ctrl+Q, the menu) or closing the window while a preparation
// run is still going asks first. "Quit Anyway" ends the event loop at once;
// the delegate then reports the run, which the entry point uses to end the
// process without tearing down what the run still posts to. "Keep Working"
// leaves everything running. After the run, quitting asks nothing.
#include "AppDelegate.h"
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace sarnovelle {
namespace {

using test::AlertAnswerer;
using test::FakeDiskutil;
using test::FakeSysfs;
using test::SeenAlert;
using test::TempDir;

const QString warning = QStringLiteral("A USB stick is being prepared. Quitting now can leave it unusable.");

enum class Way { closeWindow, ctrlQ, quitItem };

std::string wayName(Way way)
{
    switch (way) {
    case Way::closeWindow:
        return "closing the window";
    case Way::ctrlQ:
        return "Ctrl+Q";
    case Way::quitItem:
        return "the Quit item";
    }
    return "?";
}

class QuitDuringRun : public ::testing::Test {
protected:
    QuitDuringRun()
    {
        fake.listWholeDisks({"disk4"});
        fake.rootVolume("disk0");
        fake.usbDisk("disk4", "SanDisk Ultra", 16'008'609'792);
        sysfs.usbDisk("disk4", "4C530001\n");
    }

    // The partition takes `mountDelay` half-second polls to appear at each
    // of the run's two mount waits: the run is still going meanwhile.
    void launch(int mountDelay)
    {
        fake.simulateStick({.disk = "disk4", .mountDelay = mountDelay});
        const Bytes image = test::sampleImage();
        delegate = std::make_unique<AppDelegate>(test::writeBundle(dir, image, sha256Hex(image)), fake.env());
        delegate->applicationDidFinishLaunching();
        ASSERT_EQ(controller()->diskPopup()->count(), 1);
    }

    MakerController* controller() const { return delegate->controller(); }
    QMainWindow* window() const { return controller()->window(); }

    void request(Way way) const
    {
        switch (way) {
        case Way::closeWindow:
            window()->close();
            break;
        case Way::ctrlQ:
            window()->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(window()));
            QTest::keyClick(window(), Qt::Key_Q, Qt::ControlModifier);
            break;
        case Way::quitItem:
            delegate->quitAction()->trigger();
            break;
        }
    }

    // Runs the event loop, doing `action` first; true when something ended
    // the loop within `ms`, false when it was still running then.
    static bool loopEndsWithin(const std::function<void()>& action, int ms)
    {
        bool ended = true;
        QTimer::singleShot(0, action);
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            ended = false;
            // Not quit(): that asks the windows first, and the window
            // refuses to close during a run unless told to by the user.
            QCoreApplication::exit(0);
        });
        guard.start(ms);
        QApplication::exec();
        return ended;
    }

    static void expectWarning(const SeenAlert& alert)
    {
        EXPECT_EQ(alert.icon, QMessageBox::Warning);
        EXPECT_EQ(alert.windowTitle, QStringLiteral("Tessamir Sarnovelle USB Maker"));
        EXPECT_EQ(alert.text, warning);
        QStringList buttons = alert.buttons;
        buttons.sort();
        EXPECT_EQ(buttons, (QStringList{QStringLiteral("Keep Working"), QStringLiteral("Quit Anyway")}));
        EXPECT_EQ(alert.defaultButton, QStringLiteral("Keep Working"));
        EXPECT_EQ(alert.escapeButton, QStringLiteral("Keep Working"));
    }

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(QuitDuringRun, QuitAnywayEndsTheLoopAndReportsTheRun)
{
    for (const Way way : {Way::closeWindow, Way::ctrlQ, Way::quitItem}) {
        SCOPED_TRACE(wayName(way));
        launch(4);
        AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("Quit Anyway")});
        bool askedWhileBusy = false;
        const bool ended = loopEndsWithin(
            [&] {
                controller()->makeButton()->click();
                askedWhileBusy = controller()->busy();
                request(way);
            },
            5000);

        EXPECT_TRUE(ended) << "Quit Anyway ended the loop";
        EXPECT_TRUE(askedWhileBusy);
        ASSERT_EQ(answerer.seen().size(), 2U) << "asked once";
        expectWarning(answerer.seen()[1]);
        EXPECT_TRUE(delegate->runInProgress());
        EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 0) << "the run had not finished";
        // Tearing the delegate down anyway waits for the run's thread.
        delegate.reset();
        EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 1);
        fake.clearInvocations();
    }
}

// One run, asked three ways, kept working each time (by the button and by
// Escape); it ends as usual, and then quitting asks nothing.
TEST_F(QuitDuringRun, KeepWorkingLeavesTheRunAndTheWindowGoing)
{
    launch(6);
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("Keep Working"), QStringLiteral("<Escape>"),
                            QStringLiteral("<Return>"), QStringLiteral("<Return>")});
    controller()->makeButton()->click();
    ASSERT_TRUE(controller()->busy());

    std::size_t asked = 1;
    for (const Way way : {Way::closeWindow, Way::ctrlQ, Way::quitItem}) {
        SCOPED_TRACE(wayName(way));
        EXPECT_FALSE(loopEndsWithin([&] { request(way); }, 300)) << "the loop kept running";
        ++asked;
        ASSERT_EQ(answerer.seen().size(), asked);
        expectWarning(answerer.seen().back());
        EXPECT_TRUE(window()->isVisible());
        EXPECT_TRUE(controller()->busy()) << "the run goes on";
    }
    EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 0);

    ASSERT_TRUE(answerer.waitForAlerts(asked + 1, 30000)) << "the outcome";
    EXPECT_EQ(answerer.seen().back().informativeText, QStringLiteral("The USB is ready."));
    EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 1);

    // After the run: no warning (any alert now fails the answerer).
    EXPECT_TRUE(loopEndsWithin([&] { request(Way::ctrlQ); }, 5000));
    EXPECT_EQ(answerer.seen().size(), asked + 1);
    EXPECT_FALSE(delegate->runInProgress());
}

// The run ends while the warning is up: nothing is at risk any more, the
// warning goes unanswered and the outcome takes its place.
TEST_F(QuitDuringRun, RunEndingWhileAskedTakesTheWarningAway)
{
    launch(1);
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Leave>"), QStringLiteral("<Return>")});
    controller()->makeButton()->click();
    ASSERT_TRUE(controller()->busy());
    const bool ended = loopEndsWithin([&] { request(Way::quitItem); }, 4000);
    EXPECT_FALSE(ended) << "the unanswered warning did not quit";
    ASSERT_EQ(answerer.seen().size(), 3U);
    expectWarning(answerer.seen()[1]);
    EXPECT_EQ(answerer.seen()[2].informativeText, QStringLiteral("The USB is ready."));
    EXPECT_FALSE(controller()->busy());
    EXPECT_TRUE(window()->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no alert left up";
}

} // namespace
} // namespace sarnovelle
