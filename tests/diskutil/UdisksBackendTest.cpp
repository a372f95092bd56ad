// The changes through udisks2: the calls in their order and with their
// arguments, the lines printed, and each way the service can say no. The
// service is the fake on a private dbus-daemon; the kernel's views are
// fake trees in which the stick keeps the same device numbers.

#include "FakeSystem.h"
#include "FakeUdisks.h"

#include "linux/diskutil/devices/Helpers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>

namespace sarnovelle::test {
namespace {

using Calls = std::vector<std::string>;

const std::vector<std::string> partitionArguments{
    "partitionDisk", "/dev/sdb", "MBR", "MS-DOS FAT32", "Sarnovelle", "2097152S", "Free Space", "none", "R"};

class Udisks : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!standin::findHelper("dbus-daemon")) {
            GTEST_SKIP() << "dbus-daemon is missing (Debian package dbus-daemon)";
        }
        addTypicalDisks(system);
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        udisks.emplace();
        udisks->drive("Stick", true);
        udisks->disk("sdb", 8, 16, "Stick");
        udisks->partition("sdb", "sdb1", 1, 8, 17, "vfat", {"/media/alice/OLD"});
        system.systemBus = udisks->address();
    }

    void TearDown() override
    {
        if (udisks) {
            EXPECT_EQ(udisks->nonInteractiveCalls(), 0) << "a call forbade the desktop's password dialog";
        }
    }

    Outcome partition() const { return system.run(partitionArguments, false); }

    FakeSystem system;
    std::optional<FakeUdisks> udisks;
};

TEST_F(Udisks, PartitionDiskUnmountsFormatsCreatesTheFat32PartitionAndMountsIt)
{
    const Outcome outcome = partition();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.outLines(),
              (std::vector<std::string>{"Started partitioning on sdb", "Unmounting disk", "Creating the partition map",
                                        "Waiting for partitions to activate",
                                        "Formatting sdb1 as MS-DOS (FAT32) with name SARNOVELLE", "Mounting disk",
                                        "Volume SARNOVELLE on sdb1 mounted at /media/alice/SARNOVELLE",
                                        "Finished partitioning on sdb"}));
    EXPECT_EQ(outcome.err, "");
    // The old partition's file system is wiped before the table: it would
    // reappear in the new partition at the same place.
    EXPECT_EQ(udisks->calls(), (Calls{"Unmount sdb1", "Format sdb1 empty", "Format sdb gpt", "Format sdb dos",
                                      "CreatePartitionAndFormat sdb 1048576 1073741824 0x0c vfat SARNOVELLE",
                                      "Mount sdb1"}));
}

// Sticks as people bring them. Whatever stands at 1 MiB, where the new
// partition goes, is erased on its own first (a file system, an md member,
// an LVM label, a LUKS header, swap, bcache, a signature blkid finds
// ambiguous); everything else goes with the whole disk's new table, which
// udisks2 never refuses halfway.
TEST(UdisksSticks, WhateverTheStickHoldsTheWholeDiskGetsItsNewTable)
{
    if (!standin::findHelper("dbus-daemon")) {
        GTEST_SKIP() << "dbus-daemon is missing (Debian package dbus-daemon)";
    }
    const std::string create = "CreatePartitionAndFormat sdb 1048576 1073741824 0x0c vfat SARNOVELLE";
    struct Stick {
        const char* what;
        std::function<void(FakeUdisks&)> holds;
        Calls calls;
    };
    const std::vector<Stick> sticks{
        {"an installer image: partition 1 from sector 0 over the table, an EFI partition after it",
         [](FakeUdisks& udisks) {
             udisks.partition("sdb", "sdb1", 1, 8, 17, "iso9660", {"/media/alice/Debian"}, 0);
             udisks.holdsTable("sdb1");
             udisks.partition("sdb", "sdb2", 2, 8, 18, "vfat", {"/media/alice/EFI"}, 700 << 20);
         },
         {"Unmount sdb1", "Unmount sdb2", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
        {"a GPT stick: data at 1 MiB, an EFI partition after it",
         [](FakeUdisks& udisks) {
             udisks.partition("sdb", "sdb1", 1, 8, 17, "ext4", {"/media/alice/Data"});
             udisks.partition("sdb", "sdb2", 2, 8, 18, "vfat", {"/media/alice/EFI"}, 1500 << 20);
         },
         {"Unmount sdb1", "Unmount sdb2", "Format sdb1 empty", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
        {"a stick whose volume at 1 MiB an earlier run erased already, or blkid finds ambiguous",
         [](FakeUdisks& udisks) { udisks.partition("sdb", "sdb1", 1, 8, 17, ""); },
         {"Format sdb1 empty", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
        {"an old md member, the array stopped",
         [](FakeUdisks& udisks) { udisks.partition("sdb", "sdb1", 1, 8, 17, "linux_raid_member"); },
         {"Format sdb1 empty", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
        {"an old LVM physical volume, the volume group deactivated",
         [](FakeUdisks& udisks) { udisks.partition("sdb", "sdb1", 1, 8, 17, "LVM2_member"); },
         {"Format sdb1 empty", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
        {"a closed LUKS partition",
         [](FakeUdisks& udisks) { udisks.partition("sdb", "sdb1", 1, 8, 17, "crypto_LUKS"); },
         {"Format sdb1 empty", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
        {"old swap and bcache partitions",
         [](FakeUdisks& udisks) {
             udisks.partition("sdb", "sdb1", 1, 8, 17, "swap");
             udisks.partition("sdb", "sdb2", 2, 8, 18, "bcache", {}, 1500 << 20);
         },
         {"Format sdb1 empty", "Format sdb gpt", "Format sdb dos", create, "Mount sdb1"}},
    };
    for (const Stick& stick : sticks) {
        SCOPED_TRACE(stick.what);
        FakeSystem system;
        addTypicalDisks(system);
        system.partition("sdb", "sdb2", 2, "8:18", 2048);
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        FakeUdisks udisks;
        udisks.drive("Stick", true);
        udisks.disk("sdb", 8, 16, "Stick");
        stick.holds(udisks);
        system.systemBus = udisks.address();
        const Outcome outcome = system.run(partitionArguments, false);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(udisks.calls(), stick.calls);
    }
}

TEST_F(Udisks, AVolumeInUseEndsPartitionDiskBeforeAnythingIsErased)
{
    udisks->busy("sdb1");
    struct Row {
        const char* what;
        std::string loopFile; // the file a loop device reads; empty: none
        std::string why;
    };
    const std::vector<Row> rows{
        {"a program holds a file open", "", "a program still uses files there"},
        {"a loop device reads a file there", "/media/alice/OLD/vm disk.img",
         "the loop device loop0 still uses a file there"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (!row.loopFile.empty()) {
            system.attribute("loop0", "loop/backing_file", row.loopFile);
        }
        const Outcome outcome = partition();
        EXPECT_EQ(outcome.status, 1);
        ASSERT_EQ(outcome.errLines().size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find("sdb1 at /media/alice/OLD: " + row.why + "; nothing was changed."),
                  std::string::npos)
            << outcome.err;
    }
    EXPECT_EQ(udisks->calls(), (Calls{"Unmount sdb1", "Unmount sdb1"}));
    EXPECT_EQ(udisks->mountPoints("sdb1"), (std::vector<std::string>{"/media/alice/OLD"}));
}

TEST_F(Udisks, AnAutomounterThatCameFirstIsNoFailure)
{
    udisks->automount();
    const Outcome outcome = partition();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("Volume SARNOVELLE on sdb1 mounted at /media/alice/SARNOVELLE\n"), std::string::npos)
        << outcome.out;

    // The mount verb on a volume someone else mounted reports where.
    const Outcome mounted = system.run({"mount", "sdbs1"}, false);
    EXPECT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(mounted.out, "Volume sdb1 mounted at /media/alice/SARNOVELLE\n");
}

TEST_F(Udisks, AFileSystemThatIsNotFat32FailsBeforeItIsMounted)
{
    udisks->newVersion("FAT16");
    const Outcome outcome = partition();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "The new file system on sdb1 came out as vfat FAT16, not FAT32.\n");
    EXPECT_EQ(udisks->calls().back(), "CreatePartitionAndFormat sdb 1048576 1073741824 0x0c vfat SARNOVELLE");
}

TEST_F(Udisks, ALateAnswerCountsWhenTheWorkShowsUp)
{
    udisks->late("Format");
    udisks->late("CreatePartitionAndFormat");
    const Outcome outcome = partition();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("Volume SARNOVELLE on sdb1 mounted at /media/alice/SARNOVELLE\n"), std::string::npos)
        << outcome.out;
    EXPECT_EQ(udisks->calls().back(), "Mount sdb1");
}

TEST_F(Udisks, AnyOtherFailureOfTheServiceEndsTheRun)
{
    udisks->refuse("CreatePartitionAndFormat", "Failed");
    const Outcome outcome = partition();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Could not create the FAT32 partition on sdb: Not authorized to perform operation.\n");
    EXPECT_EQ(udisks->calls().back(), "CreatePartitionAndFormat sdb 1048576 1073741824 0x0c vfat SARNOVELLE");
}

TEST_F(Udisks, RefusedAuthorisationsSayWhichInOneLine)
{
    for (const auto& [error, expected] : std::vector<std::pair<std::string, std::string>>{
             {"NotAuthorizedDismissed", "dismissed in the desktop's dialog"},
             {"NotAuthorizedCanObtain", "no authentication agent"},
             {"NotAuthorized", "the system's policy does not allow it"}}) {
        udisks->refuse("Format", error);
        const Outcome outcome = partition();
        EXPECT_EQ(outcome.status, 1);
        ASSERT_EQ(outcome.errLines().size(), 1U) << outcome.err;
        EXPECT_EQ(outcome.err.rfind("Could not erase the old volume on sdb1: ", 0), 0U) << outcome.err;
        EXPECT_NE(outcome.err.find(expected), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("(udisks2: Not authorized to perform operation)"), std::string::npos)
            << outcome.err;
    }
    for (const auto& call : udisks->calls()) {
        EXPECT_EQ(call.find("CreatePartitionAndFormat"), std::string::npos) << "went on after a refusal";
    }
}

TEST_F(Udisks, MountAndUnmountGoThroughTheService)
{
    const Outcome first = system.run({"unmount", "sdbs1"}, false);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "Volume sdb1 unmounted\n");
    const Outcome again = system.run({"unmount", "sdbs1"}, false);
    EXPECT_EQ(again.status, 0) << "an unmounted volume is no failure: " << again.err;
    const Outcome mounted = system.run({"mount", "sdbs1"}, false);
    EXPECT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(mounted.out, "Volume sdb1 mounted at /media/alice/sdb1\n");
    system.run({"unmount", "sdbs1"}, false);
    const Outcome readOnly = system.run({"mount", "readOnly", "sdbs1"}, false);
    EXPECT_EQ(readOnly.status, 0) << readOnly.err;
    EXPECT_EQ(udisks->calls(), (Calls{"Unmount sdb1", "Mount sdb1", "Unmount sdb1", "Mount sdb1 options=ro"}));
}

TEST_F(Udisks, UnmountTakesAwayEveryMountOfTheVolume)
{
    udisks->partition("sdb", "sdb2", 2, 8, 18, "vfat", {"/media/alice/A", "/mnt/bind", "/srv/again"});
    system.partition("sdb", "sdb2", 2, "8:18", 2048);
    const Outcome outcome = system.run({"unmount", "sdbs2"}, false);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(udisks->calls(), (Calls{"Unmount sdb2", "Unmount sdb2", "Unmount sdb2"}));
    EXPECT_TRUE(udisks->mountPoints("sdb2").empty());
}

TEST_F(Udisks, EjectUnmountsThenPowersOffOrEjectsTheMedium)
{
    Outcome outcome = system.run({"eject", "/dev/sdb"}, false);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Disk /dev/sdb ejected\n");
    EXPECT_EQ(udisks->calls(), (Calls{"Unmount sdb1", "PowerOff Stick"}));

    // A card reader cannot be powered off: its medium is ejected instead.
    udisks->drive("Reader", false);
    udisks->disk("sdc", 8, 32, "Reader");
    outcome = system.run({"eject", "/dev/sdc"}, false);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(udisks->calls().back(), "Eject Reader");
}

TEST_F(Udisks, AFailedPowerOffIsReportedWithTheServicesText)
{
    udisks->refuse("PowerOff", "NotAuthorizedCanObtain");
    const Outcome outcome = system.run({"eject", "/dev/sdb"}, false);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err.rfind("Could not power off sdb: it needs an authorisation", 0), 0U) << outcome.err;
}

} // namespace
} // namespace sarnovelle::test
