// Check USB in the window against the fake disk utility's stick: the
// controls wait while the stick is checked, each step is logged and the
// verdict ends the log and shows in an alert; the stick stays as it was.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TwoSticks.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>

namespace sarnovelle {
namespace {

struct CheckCase {
    const char* name;
    bool changedBootFile;
    QMessageBox::Icon icon;
    const char* verdict; // "$digest": the boot file's SHA-256
};

class CheckFlow : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckFlow, ChecksTheSelectedStickInTheBackground)
{
    const CheckCase& row = GetParam();
    test::TempDir dir;
    test::FakeDiskutil fake(dir / "scenario");
    test::FakeSysfs sysfs(fake.sysfsRoot());
    test::addTwoSticks(fake, sysfs);
    PlistDict disk = test::FakeDiskutil::usbDiskInfo("SanDisk Ultra", 16'008'609'792);
    disk.setText("Content", "FDisk_partition_scheme");
    disk.setNumber("PartitionCount", 1);
    fake.answer({"info", "-plist", "disk4"}, disk);
    const Bytes image = test::sampleImage();
    std::string onStick(image.begin(), image.end());
    if (row.changedBootFile) {
        onStick.replace(0, 1, 1, static_cast<char>(onStick.front() ^ 1));
    }
    fake.madeStick({.disk = "disk4"}, {{"EFI/BOOT/BOOTX64.EFI", onStick}}, false);

    MakerController controller(test::writeBundle(dir, image, sha256Hex(image)), fake.env());
    controller.diskPopup()->setCurrentIndex(1); // disk4
    ASSERT_TRUE(controller.checkAction()->isEnabled());
    const std::size_t before = test::logMessages(controller).size();

    test::AlertAnswerer answerer({QStringLiteral("OK")});
    controller.checkAction()->trigger();
    EXPECT_TRUE(controller.busy());
    EXPECT_FALSE(controller.makeButton()->isEnabled());
    EXPECT_FALSE(controller.checkAction()->isEnabled());
    EXPECT_FALSE(controller.diskPopup()->isEnabled());
    ASSERT_TRUE(answerer.waitForAlerts(1));

    std::string verdict = row.verdict;
    verdict.replace(verdict.find("$digest"), 7, sha256Hex(Bytes(onStick.begin(), onStick.end())));
    const auto lines = test::logMessages(controller);
    ASSERT_GT(lines.size(), before + 2);
    EXPECT_EQ(lines[before], "Checking disk4 without changing it");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Mounting disk4p1 read-only"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), verdict), lines.end());
    EXPECT_EQ(answerer.seen().front().icon, row.icon);
    EXPECT_EQ(answerer.seen().front().informativeText.toStdString(), verdict);
    EXPECT_FALSE(controller.busy());
    EXPECT_TRUE(controller.checkAction()->isEnabled());
    EXPECT_EQ(fake.count({"unmount", "disk4p1"}), 1);
    EXPECT_EQ(fake.count(test::partitionCommand), 0);
    EXPECT_EQ(fake.count({"eject", "/dev/disk4"}), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, CheckFlow,
    ::testing::Values(CheckCase{"Ready", false, QMessageBox::Information,
                                "READY: disk4 holds this image (SHA-256 $digest)."},
                      CheckCase{"BootFileChanged", true, QMessageBox::Warning,
                                "NOT READY: the boot file differs from this image: SHA-256 $digest."}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace sarnovelle
