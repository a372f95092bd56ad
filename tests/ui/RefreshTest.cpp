// Filling the disk pop-up from the fake disk utility.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::Arguments;
using test::FakeAnswer;
using test::FakeDiskutil;
using test::FakeSysfs;
using test::listCommand;
using test::TempDir;

const std::string noDiskLine = "No USB disk found. Insert a USB stick and click Refresh.";

PlistDict wholeDisks(const std::vector<std::string>& identifiers)
{
    PlistDict list;
    list.setTextList("WholeDisks", identifiers);
    return list;
}

class Refresh : public ::testing::Test {
protected:
    Refresh()
    {
        fake.rootVolume("disk0");
        fake.usbDisk("disk3", "Other stick", 8'000'000'000);
        fake.usbDisk("disk4", "SanDisk Ultra", 16'008'609'792);
        sysfs.usbDisk("disk3", "OTHER\n");
        sysfs.usbDisk("disk4", "4C530001\n");
    }

    std::unique_ptr<MakerController> makeController(bool goodImage = true)
    {
        const Bytes image = test::sampleImage();
        const Bundle bundle = goodImage ? test::writeBundle(dir, image, sha256Hex(image))
                                        : test::writeBundle(dir, image, std::nullopt);
        return std::make_unique<MakerController>(bundle, fake.env());
    }

    static QStringList items(const MakerController& controller)
    {
        QStringList titles;
        for (int i = 0; i < controller.diskPopup()->count(); ++i) {
            titles << controller.diskPopup()->itemText(i);
        }
        return titles;
    }

    static void expectEnabled(const MakerController& controller, bool popup, bool refresh, bool make)
    {
        EXPECT_EQ(controller.diskPopup()->isEnabled(), popup);
        EXPECT_EQ(controller.refreshButton()->isEnabled(), refresh);
        EXPECT_EQ(controller.makeButton()->isEnabled(), make);
    }

    const QString label3 = QStringLiteral("disk3: Other stick  8.0 GB  (serial OTHER)");
    const QString label4 = QStringLiteral("disk4: SanDisk Ultra  16.0 GB  (serial 4C530001)");

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
};

TEST_F(Refresh, NoDiskLeavesThePopupEmptyAndMakeDisabled)
{
    fake.listWholeDisks({});
    auto controller = makeController();
    EXPECT_TRUE(controller->disks().empty());
    EXPECT_EQ(controller->diskPopup()->count(), 0);
    EXPECT_EQ(controller->diskPopup()->currentIndex(), -1);
    EXPECT_EQ(test::logMessages(*controller).back(), noDiskLine);
    expectEnabled(*controller, true, true, false);
}

TEST_F(Refresh, TwoDisksBecomeTwoItemsInListingOrderFirstSelected)
{
    fake.listWholeDisks({"disk4", "disk3"});
    auto controller = makeController();
    EXPECT_EQ(items(*controller), (QStringList{label4, label3}));
    ASSERT_EQ(controller->disks().size(), 2U);
    EXPECT_EQ(controller->disks()[0].id, "disk4");
    EXPECT_EQ(controller->disks()[1].id, "disk3");
    EXPECT_EQ(controller->diskPopup()->currentIndex(), 0);
    EXPECT_EQ(test::logMessages(*controller).back(), "2 USB disk(s) found.");
    expectEnabled(*controller, true, true, true);

    // The selected disk stays selected when it is listed again.
    controller->diskPopup()->setCurrentIndex(1);
    fake.clearInvocations();
    controller->refreshButton()->click();
    EXPECT_EQ(fake.count(listCommand), 1) << "Refresh lists the disks once";
    EXPECT_EQ(items(*controller), (QStringList{label4, label3}));
    EXPECT_EQ(controller->diskPopup()->currentIndex(), 1);
    EXPECT_EQ(test::logMessages(*controller).back(), "2 USB disk(s) found.");
}

TEST_F(Refresh, OneDiskIsCountedWithTheSameWording)
{
    fake.listWholeDisks({"disk3"});
    auto controller = makeController();
    EXPECT_EQ(items(*controller), QStringList{label3});
    EXPECT_EQ(test::logMessages(*controller).back(), "1 USB disk(s) found.");
}

TEST_F(Refresh, EveryDiskLeftOutIsLoggedWithItsReason)
{
    fake.listWholeDisks({"disk0", "disk4", "disk9"});
    PlistDict used = FakeDiskutil::usbDiskInfo("Backup", 32'000'000'000);
    used.setText("InUseBy", "the LVM volume stick-data, mounted at /srv/data");
    fake.answer({"info", "-plist", "disk9"}, used);
    auto controller = makeController();
    EXPECT_EQ(items(*controller), QStringList{label4});
    const auto lines = test::logMessages(*controller);
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"1 USB disk(s) found.", "Left out disk0: system disk",
                                        "Left out disk9: in use by the LVM volume stick-data, mounted at /srv/data"}));
}

TEST_F(Refresh, PulledStickDisappearsAndMakeIsDisabledWhenNoneIsLeft)
{
    fake.answer(listCommand, std::vector<PlistDict>{wholeDisks({"disk3", "disk4"}), wholeDisks({"disk4"}),
                                                    wholeDisks({})});
    auto controller = makeController();
    EXPECT_EQ(items(*controller), (QStringList{label3, label4}));

    controller->refreshClicked();
    EXPECT_EQ(items(*controller), QStringList{label4});
    ASSERT_EQ(controller->disks().size(), 1U);
    EXPECT_EQ(controller->disks()[0].id, "disk4");
    expectEnabled(*controller, true, true, true);

    controller->refreshClicked();
    EXPECT_EQ(controller->diskPopup()->count(), 0);
    EXPECT_EQ(test::logMessages(*controller).back(), noDiskLine);
    expectEnabled(*controller, true, true, false);
}

TEST_F(Refresh, ListingFailureAfterAGoodOneEmptiesEverything)
{
    fake.answer(listCommand, std::vector<FakeAnswer>{{wholeDisks({"disk3", "disk4"}).toXml(), 0, false},
                                                     {"Could not list disks\n", 1, false}});
    auto controller = makeController();
    ASSERT_EQ(controller->diskPopup()->count(), 2);
    const std::size_t before = test::logMessages(*controller).size();

    controller->refreshClicked();
    const auto messages = test::logMessages(*controller);
    ASSERT_EQ(messages.size(), before + 2) << "exactly two lines";
    EXPECT_EQ(messages[before], "Cannot list disks: diskutil list failed.");
    EXPECT_EQ(messages[before + 1], noDiskLine);
    EXPECT_TRUE(controller->disks().empty());
    EXPECT_EQ(controller->diskPopup()->count(), 0);
    EXPECT_EQ(controller->diskPopup()->currentIndex(), -1);
    expectEnabled(*controller, true, true, false);
}

// Without the running system's disk nothing may be offered: the same two
// lines as a failed list, at start and after a good listing.
TEST_F(Refresh, FailedRootQueryIsAListingFailure)
{
    const Arguments rootQuery{"info", "-plist", "/"};
    const std::string failedLine =
        "Cannot list disks: The running system's disk cannot be found (diskutil info / failed).";
    fake.listWholeDisks({"disk3", "disk4"});
    PlistDict root;
    root.setText("ParentWholeDisk", "disk0");
    fake.answer(rootQuery, std::vector<FakeAnswer>{{"Could not find disk: /\n", 1, false},
                                                   {root.toXml(), 0, false},
                                                   {"Could not find disk: /\n", 1, false}});
    auto controller = makeController();
    auto messages = test::logMessages(*controller);
    ASSERT_GE(messages.size(), 2U);
    EXPECT_EQ(messages[messages.size() - 2], failedLine);
    EXPECT_EQ(messages.back(), noDiskLine);
    EXPECT_TRUE(controller->disks().empty());
    EXPECT_EQ(controller->diskPopup()->count(), 0);
    expectEnabled(*controller, true, true, false);

    controller->refreshClicked();
    EXPECT_EQ(items(*controller), (QStringList{label3, label4}));
    expectEnabled(*controller, true, true, true);

    const std::size_t before = test::logMessages(*controller).size();
    controller->refreshClicked();
    messages = test::logMessages(*controller);
    ASSERT_EQ(messages.size(), before + 2);
    EXPECT_EQ(messages[before], failedLine);
    EXPECT_EQ(messages[before + 1], noDiskLine);
    EXPECT_EQ(controller->diskPopup()->count(), 0) << "no stale entries";
    EXPECT_TRUE(controller->disks().empty());
    expectEnabled(*controller, true, true, false);
}

TEST_F(Refresh, UnverifiedImageKeepsMakeDisabledWhileListingWorks)
{
    fake.listWholeDisks({"disk3", "disk4"});
    auto controller = makeController(false);
    EXPECT_FALSE(controller->imageOk());
    EXPECT_EQ(controller->diskPopup()->count(), 2);
    expectEnabled(*controller, true, true, false);
    controller->refreshClicked();
    EXPECT_EQ(controller->diskPopup()->count(), 2);
    expectEnabled(*controller, true, true, false);
}

} // namespace
} // namespace sarnovelle
