// Closing the window while a preparation run is still going ends the event
// loop at once; the delegate then reports the run, which the entry point
// uses to end the process without tearing down what the run still posts to.
#include "AppDelegate.h"
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QApplication>
#include <QComboBox>
#include <QMainWindow>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::AlertAnswerer;
using test::FakeDiskutil;
using test::FakeSysfs;
using test::TempDir;

TEST(CloseDuringRun, WindowClosedWhileBusyEndsTheLoopAndReportsTheRun)
{
    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
    fake.listWholeDisks({"disk4"});
    fake.rootVolume("disk0");
    fake.usbDisk("disk4", "SanDisk Ultra", 16'008'609'792);
    sysfs.usbDisk("disk4", "4C530001\n");
    // The partition takes a few mount polls to appear: the run is still
    // going when the window closes.
    fake.simulateStick({.disk = "disk4", .mountDelay = 4});
    const Bytes image = test::sampleImage();

    auto delegate = std::make_unique<AppDelegate>(test::writeBundle(dir, image, sha256Hex(image)), fake.env());
    delegate->applicationDidFinishLaunching();
    MakerController* controller = delegate->controller();
    ASSERT_EQ(controller->diskPopup()->count(), 1);

    AlertAnswerer answerer({QStringLiteral("Erase")});
    bool closedWhileBusy = false;
    QTimer::singleShot(0, [&] {
        controller->makeButton()->click();
        closedWhileBusy = controller->busy();
        controller->window()->close();
    });
    QTimer guard;
    bool timedOut = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    guard.start(5000);
    QApplication::exec();

    EXPECT_FALSE(timedOut) << "closing the window ended the loop";
    EXPECT_TRUE(closedWhileBusy);
    EXPECT_TRUE(delegate->runInProgress());
    EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 0) << "the run had not finished";
    // Tearing the delegate down anyway waits for the run's thread.
    delegate.reset();
    EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 1);
}

} // namespace
} // namespace sarnovelle
