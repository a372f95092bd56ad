// The make flow against the fake disk utility's simulated stick, with the
// alerts answered as a user would.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TwoSticks.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace sarnovelle {
namespace {

using test::AlertAnswerer;
using test::Arguments;
using test::doneLine;
using test::FakeAnswer;
using test::FakeDiskutil;
using test::FakeSysfs;
using test::partitionCommand;
using test::TempDir;

const QString stickLabel = QStringLiteral("disk4: SanDisk Ultra  16.0 GB  (serial 4C530001)");

class MakeFlow : public ::testing::Test {
protected:
    MakeFlow()
    {
        for (int i = 0; i < 50000; ++i) {
            image.push_back(static_cast<std::uint8_t>(i * 13 + i / 251));
        }
        test::addTwoSticks(fake, sysfs);
    }

    void makeController(bool goodImage = true)
    {
        const Bundle bundle = goodImage ? test::writeBundle(dir, image, sha256Hex(image))
                                        : test::writeBundle(dir, image, std::nullopt);
        controller = std::make_unique<MakerController>(bundle, fake.env());
        controller->diskPopup()->setCurrentIndex(1); // disk4
        logBefore = test::logMessages(*controller).size();
        fake.clearInvocations();
    }

    // The lines logged since makeController.
    std::vector<std::string> newLines() const
    {
        const auto all = test::logMessages(*controller);
        return {all.begin() + static_cast<std::ptrdiff_t>(logBefore), all.end()};
    }

    bool partitioned() const { return fake.count(partitionCommand) > 0; }

    void waitUntilIdle(int timeoutMs = 30000) const
    {
        QDeadlineTimer deadline(timeoutMs);
        while (controller->busy() && !deadline.hasExpired()) {
            QTest::qWait(10);
        }
    }

    void expectAllEnabled() const
    {
        EXPECT_TRUE(controller->diskPopup()->isEnabled());
        EXPECT_TRUE(controller->refreshButton()->isEnabled());
        EXPECT_TRUE(controller->makeButton()->isEnabled());
    }

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
    Bytes image;
    std::unique_ptr<MakerController> controller;
    std::size_t logBefore = 0;
};

TEST_F(MakeFlow, ConfirmationNamesTheDiskAndDefaultsToCancel)
{
    makeController();
    AlertAnswerer answerer({QStringLiteral("Cancel")});
    controller->makeButton()->click();
    ASSERT_EQ(answerer.seen().size(), 1U);
    const auto& alert = answerer.seen()[0];
    EXPECT_EQ(alert.icon, QMessageBox::Warning);
    EXPECT_EQ(alert.text, QStringLiteral("Erase USB disk"));
    EXPECT_EQ(alert.informativeText,
              QStringLiteral("ALL data on this USB disk will be erased:\n\n") + stickLabel
                  + QStringLiteral("\n\nContinue?"));
    QStringList buttons = alert.buttons;
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{QStringLiteral("Cancel"), QStringLiteral("Erase")}));
    EXPECT_EQ(alert.defaultButton, QStringLiteral("Cancel"));
    EXPECT_EQ(alert.escapeButton, QStringLiteral("Cancel"));
    EXPECT_TRUE(alert.informativePlain);
}

// A media name is whatever the stick reports; it is shown, never rendered.
TEST_F(MakeFlow, DiskNameWithMarkupIsShownAsPlainText)
{
    fake.usbDisk("disk4", "<b>Fast</b> & <i>Cheap</i>", 16'008'609'792);
    makeController();
    AlertAnswerer answerer({QStringLiteral("Cancel")});
    controller->makeButton()->click();
    ASSERT_EQ(answerer.seen().size(), 1U);
    EXPECT_EQ(answerer.seen()[0].informativeText,
              QStringLiteral("ALL data on this USB disk will be erased:\n\n"
                             "disk4: <b>Fast</b> & <i>Cheap</i>  16.0 GB  (serial 4C530001)\n\nContinue?"));
    EXPECT_TRUE(answerer.seen()[0].informativePlain);
}

TEST_F(MakeFlow, DeclinedConfirmationChangesNothing)
{
    for (const QString& answer : {QStringLiteral("Cancel"), QStringLiteral("<Return>"), QStringLiteral("<Escape>")}) {
        SCOPED_TRACE(answer.toStdString());
        makeController();
        AlertAnswerer answerer({answer});
        controller->makeButton()->click();
        EXPECT_EQ(answerer.seen().size(), 1U);
        EXPECT_FALSE(controller->busy());
        expectAllEnabled();
        test::settle(300); // a run started by mistake would reach the utility by now
        EXPECT_TRUE(newLines().empty());
        EXPECT_TRUE(fake.invocations().empty());
        EXPECT_EQ(answerer.seen().size(), 1U) << "no outcome alert";
    }
}

TEST_F(MakeFlow, EraseRunsThePreparationAndEndsWithDone)
{
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
    controller->makeButton()->click();

    // Busy from the confirmation on: nothing can start a second run.
    EXPECT_TRUE(controller->busy());
    EXPECT_FALSE(controller->diskPopup()->isEnabled());
    EXPECT_FALSE(controller->refreshButton()->isEnabled());
    EXPECT_FALSE(controller->makeButton()->isEnabled());

    ASSERT_TRUE(answerer.waitForAlerts(2));
    EXPECT_FALSE(controller->busy());
    const auto& outcome = answerer.seen()[1];
    EXPECT_EQ(outcome.icon, QMessageBox::Information);
    EXPECT_EQ(outcome.text, QStringLiteral("Tessamir Sarnovelle USB Maker"));
    EXPECT_EQ(outcome.informativeText, QStringLiteral("The USB is ready."));
    EXPECT_EQ(outcome.buttons.size(), 1);

    // Every progress line of the run, in order, then the outcome line.
    const std::string volume = (fake.folder() / "volumes" / "SARNOVELLE").string();
    const auto lines = newLines();
    ASSERT_GE(lines.size(), 5U);
    EXPECT_EQ(lines.front(), "Erasing disk4 and creating FAT32 partition SARNOVELLE");
    const auto writing = std::find(lines.begin(), lines.end(), "Writing " + volume + "/EFI/BOOT/BOOTX64.EFI");
    const auto readBack = std::find(lines.begin(), lines.end(), "Read back SHA-256 " + sha256Hex(image));
    EXPECT_LT(writing, readBack);
    EXPECT_EQ(lines[lines.size() - 3], "  diskutil: Disk /dev/disk4 ejected");
    EXPECT_EQ(lines[lines.size() - 2], doneLine);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), doneLine), 1);
    // The list is taken again at the end; this fake still lists the stick.
    EXPECT_EQ(lines.back(), "2 USB disk(s) found.");

    // The image is on the stick.
    const auto onStick = test::readText(fake.folder() / "volumes" / ".unmounted" / "EFI" / "BOOT" / "BOOTX64.EFI");
    EXPECT_EQ(Bytes(onStick.begin(), onStick.end()), image);
    EXPECT_EQ(controller->diskPopup()->count(), 2);
    EXPECT_EQ(controller->diskPopup()->itemText(1), stickLabel);
    EXPECT_EQ(controller->disks().size(), 2U);
    expectAllEnabled();
}

TEST_F(MakeFlow, FailingRunEndsWithFailedLineAndCriticalAlert)
{
    fake.answer(partitionCommand, FakeAnswer{"Started partitioning on disk4\nError: -69877: Couldn't open device\n", 1,
                                             false});
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(2));

    const std::string message = "diskutil partitionDisk failed (exit 1). See the diskutil lines above.";
    EXPECT_EQ(newLines(), (std::vector<std::string>{"Erasing disk4 and creating FAT32 partition SARNOVELLE",
                                                    "  diskutil: Started partitioning on disk4",
                                                    "  diskutil: Error: -69877: Couldn't open device",
                                                    "FAILED: " + message, "2 USB disk(s) found."}));
    const auto& outcome = answerer.seen()[1];
    EXPECT_EQ(outcome.icon, QMessageBox::Critical);
    EXPECT_EQ(outcome.text, QStringLiteral("Failed"));
    EXPECT_EQ(outcome.informativeText, QString::fromStdString(message));
    EXPECT_EQ(outcome.buttons.size(), 1);
    EXPECT_FALSE(controller->busy());
    expectAllEnabled();
    EXPECT_EQ(controller->imageHash(), sha256Hex(image));
    EXPECT_EQ(controller->disks().size(), 2U);
}

// Make USB again on the ejected stick, without Refresh, once it is gone:
// the procedure's own check refuses it.
TEST_F(MakeFlow, StickGoneSinceTheListingFailsTheRun)
{
    makeController();
    fake.listWholeDisks({"disk3"});
    AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
    controller->makeButton()->click();
    ASSERT_TRUE(answerer.waitForAlerts(2));
    const auto lines = newLines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[lines.size() - 2], "FAILED: The selected USB disk changed. Click Refresh and select it again.");
    EXPECT_EQ(lines.back(), "1 USB disk(s) found.") << "the list shows what is there now";
    EXPECT_FALSE(partitioned());
    EXPECT_EQ(answerer.seen()[1].text, QStringLiteral("Failed"));
}

TEST_F(MakeFlow, GuardsStopWithoutAlertOrLogLine)
{
    {
        SCOPED_TRACE("image not verified");
        makeController(false);
        AlertAnswerer answerer({}); // any alert fails the test
        controller->makeClicked();
        test::settle(50);
        EXPECT_TRUE(answerer.seen().empty());
        EXPECT_TRUE(newLines().empty());
        EXPECT_FALSE(controller->busy());
    }
    {
        SCOPED_TRACE("no disk listed");
        fake.listWholeDisks({});
        makeController();
        ASSERT_EQ(controller->diskPopup()->currentIndex(), -1);
        AlertAnswerer answerer({});
        controller->makeClicked();
        test::settle(50);
        EXPECT_TRUE(answerer.seen().empty());
        EXPECT_TRUE(newLines().empty());
        EXPECT_TRUE(fake.invocations().empty());
    }
}

// The controller goes while its run is still working (tests, or a window
// torn down early): it waits for the run's thread, and the calls the run
// posted are dropped with it.
TEST_F(MakeFlow, DestroyingTheControllerDuringARunIsSafe)
{
    fake.simulateStick({.disk = "disk4", .mountDelay = 2});
    makeController();
    AlertAnswerer answerer({QStringLiteral("Erase")});
    controller->makeButton()->click();
    ASSERT_TRUE(controller->busy());
    controller.reset();
    test::settle(50);
    EXPECT_EQ(answerer.seen().size(), 1U) << "no outcome alert after the controller went";
    EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 1) << "the run itself went to its end";
}

} // namespace
} // namespace sarnovelle
