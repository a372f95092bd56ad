#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TempDir.h"

#include "core/MakerError.h"
#include "disks/UsbDisks.h"

#include <gtest/gtest.h>

namespace sarnovelle::test {
namespace {

const Arguments listQuery{"list", "-plist", "external", "physical"};
const Arguments rootQuery{"info", "-plist", "/"};
constexpr std::uint64_t minimumSize = 1'140'850'688;

Arguments infoQuery(const std::string& id) { return {"info", "-plist", id}; }

std::vector<std::string> ids(const std::vector<UsbDisk>& disks)
{
    std::vector<std::string> result;
    for (const auto& disk : disks) {
        result.push_back(disk.id);
    }
    return result;
}

class UsbDisksTest : public ::testing::Test {
protected:
    // The running system on disk0, which no test lists.
    UsbDisksTest() { fake.rootVolume("disk0"); }

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};

    void expectListFails()
    {
        try {
            listUsbDisks(fake.env());
            ADD_FAILURE() << "listing succeeded";
        } catch (const MakerError& error) {
            EXPECT_EQ(error.message(), "diskutil list failed.");
        }
    }
};

TEST_F(UsbDisksTest, EmptyListStillComputesTheBootSet)
{
    fake.listWholeDisks({});
    fake.rootVolume("disk1", {"disk0s2"});
    fake.parentOf("disk0s2", "disk0");
    EXPECT_TRUE(listUsbDisks(fake.env()).empty());
    EXPECT_EQ(fake.invocations(), (std::vector<Arguments>{listQuery, rootQuery, infoQuery("disk0s2")}));
}

TEST_F(UsbDisksTest, ListingFailsWhenTheListIsUnusable)
{
    fake.answer(listQuery, FakeAnswer{"", 1, false});
    expectListFails();

    fake.answer(listQuery, PlistDict{});
    expectListFails();

    fake.answer(listQuery, FakeAnswer{R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>WholeDisks</key>
<array><string>disk4</string><integer>5</integer></array></dict></plist>)",
                                      0, false});
    expectListFails();
    // The boot set is computed only once the list is good.
    EXPECT_EQ(fake.count(rootQuery), 0);
}

TEST_F(UsbDisksTest, KeepsOnlyExternalUsbWholeDisksOfTheMinimumSize)
{
    fake.listWholeDisks({"disk2", "disk3", "disk4", "disk5", "disk6", "disk7", "disk8", "disk9", "disk10", "disk11"});
    PlistDict lowerCase = FakeDiskutil::usbDiskInfo("Stick", 8'000'000'000);
    lowerCase.setText("BusProtocol", "usb");
    fake.answer(infoQuery("disk2"), lowerCase);

    const std::string noInternal = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>BusProtocol</key><string>USB</string>
<key>WholeDisk</key><true/><key>Size</key><integer>8000000000</integer></dict></plist>)";
    fake.answer(infoQuery("disk3"), FakeAnswer{noInternal, 0, false});

    fake.usbDisk("disk4", "Exactly", minimumSize);
    fake.usbDisk("disk5", "One short", minimumSize - 1);

    PlistDict internal = FakeDiskutil::usbDiskInfo("Internal", 8'000'000'000);
    internal.setBool("Internal", true);
    fake.answer(infoQuery("disk6"), internal);

    PlistDict partition = FakeDiskutil::usbDiskInfo("Partition", 8'000'000'000);
    partition.setBool("WholeDisk", false);
    fake.answer(infoQuery("disk7"), partition);

    PlistDict sizeAsText = FakeDiskutil::usbDiskInfo("Text size", 8'000'000'000);
    sizeAsText.setText("Size", "8000000000");
    fake.answer(infoQuery("disk8"), sizeAsText);

    fake.answer(infoQuery("disk9"), FakeAnswer{"", 1, false});

    PlistDict locked = FakeDiskutil::usbDiskInfo("Locked", 8'000'000'000);
    locked.setBool("WritableMedia", false);
    fake.answer(infoQuery("disk10"), locked);
    PlistDict unlocked = FakeDiskutil::usbDiskInfo("Unlocked", 8'000'000'000);
    unlocked.setBool("WritableMedia", true);
    fake.answer(infoQuery("disk11"), unlocked);

    const UsbDiskSurvey survey = surveyUsbDisks(fake.env());
    ASSERT_EQ(survey.leftOut.size(), 8U);
    EXPECT_EQ(survey.leftOut.back().id, "disk10");
    EXPECT_EQ(survey.leftOut.back().reason, writeProtectedReason);
    EXPECT_EQ(ids(survey.disks), (std::vector<std::string>{"disk4", "disk11"}));

    fake.listWholeDisks({"disk2", "disk3", "disk4", "disk5", "disk6", "disk7", "disk8", "disk9"});
    const auto disks = listUsbDisks(fake.env());
    ASSERT_EQ(ids(disks), std::vector<std::string>{"disk4"});
    EXPECT_EQ(disks[0].size, minimumSize);
    EXPECT_EQ(disks[0].name, "Exactly");
}

TEST_F(UsbDisksTest, BootDiskIsSkippedWithoutAQuery)
{
    fake.listWholeDisks({"disk4", "disk5"});
    fake.rootVolume("disk6", {"disk4s2"});
    fake.parentOf("disk4s2", "disk4");
    fake.usbDisk("disk4", "Boot stick", 32'000'000'000);
    fake.usbDisk("disk5", "Spare stick", 32'000'000'000);

    EXPECT_EQ(ids(listUsbDisks(fake.env())), std::vector<std::string>{"disk5"});
    EXPECT_EQ(fake.count(infoQuery("disk4")), 0);
    EXPECT_EQ(fake.count(infoQuery("disk5")), 1);
}

// The system's own disks are unknown: no disk is offered, and the caller
// learns why.
TEST_F(UsbDisksTest, FailedRootQueryFailsTheListingBeforeAnyDiskQuery)
{
    fake.listWholeDisks({"disk4"});
    fake.usbDisk("disk4", "Stick", 8'000'000'000);
    fake.answer(rootQuery, FakeAnswer{"Could not find disk: /\n", 1, false});
    try {
        const auto disks = listUsbDisks(fake.env());
        ADD_FAILURE() << "listed " << disks.size() << " disk(s)";
    } catch (const MakerError& error) {
        EXPECT_EQ(error.message(), "The running system's disk cannot be found (diskutil info / failed).");
    }
    EXPECT_EQ(fake.invocations(), (std::vector<Arguments>{listQuery, rootQuery}));
}

TEST_F(UsbDisksTest, NamesAreTrimmedAndSerialsMayBeMissing)
{
    fake.listWholeDisks({"disk4", "disk5"});
    fake.usbDisk("disk4", " \t SanDisk  Ultra \u00A0\t", 8'000'000'000);
    PlistDict noName = FakeDiskutil::usbDiskInfo("", 17'179'869'184);
    noName.setNumber("MediaName", 5);
    fake.answer(infoQuery("disk5"), noName);

    const auto disks = listUsbDisks(fake.env());
    ASSERT_EQ(disks.size(), 2U);
    EXPECT_EQ(disks[0].name, "SanDisk  Ultra");
    EXPECT_EQ(disks[0].serial, "");
    EXPECT_EQ(disks[0].label(), "disk4: SanDisk  Ultra  8.0 GB  (serial )");
    EXPECT_EQ(disks[1].name, "");
    EXPECT_EQ(disks[1].label(), "disk5:   17.2 GB  (serial )");
}

TEST_F(UsbDisksTest, SerialComesFromTheDeviceTree)
{
    FakeSysfs sysfs(fake.sysfsRoot());
    sysfs.usbDisk("disk4", "4C530001 \t\n");
    fake.listWholeDisks({"disk4"});
    fake.usbDisk("disk4", "Cruzer", 16'008'609'792);

    const auto disks = listUsbDisks(fake.env());
    ASSERT_EQ(disks.size(), 1U);
    EXPECT_EQ(disks[0].serial, "4C530001");
    EXPECT_EQ(disks[0].label(), "disk4: Cruzer  16.0 GB  (serial 4C530001)");
}

TEST_F(UsbDisksTest, KeepsTheUtilitysOrderAndDuplicates)
{
    fake.listWholeDisks({"disk9", "disk4", "disk9"});
    fake.usbDisk("disk4", "A", 8'000'000'000);
    fake.usbDisk("disk9", "B", 8'000'000'000);
    EXPECT_EQ(ids(listUsbDisks(fake.env())), (std::vector<std::string>{"disk9", "disk4", "disk9"}));
}

// The identifier ends up in "/dev/" paths and in the erase command's
// arguments, so only plain disk names are ever offered.
TEST_F(UsbDisksTest, IdentifiersThatAreNoPlainDiskNameAreSkipped)
{
    const std::vector<std::string> odd{"../disk5", "disk5 s1", "-disk5", "disk5/", ""};
    std::vector<std::string> listed{"disk4"};
    listed.insert(listed.end(), odd.begin(), odd.end());
    fake.listWholeDisks(listed);
    fake.usbDisk("disk4", "Plain", 8'000'000'000);
    for (const auto& id : odd) {
        fake.usbDisk(id, "Odd", 8'000'000'000);
    }

    EXPECT_EQ(ids(listUsbDisks(fake.env())), std::vector<std::string>{"disk4"});
    for (const auto& id : odd) {
        EXPECT_EQ(fake.count(infoQuery(id)), 0) << id;
    }
}

} // namespace
} // namespace sarnovelle::test
