// The commands that change disks on the kernel's way (as root, no udisks2),
// as far as they can be followed in fake kernel views: their refusals and
// the eject's removal of the device through sysfs.

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <fstream>

namespace sarnovelle::test {
namespace {

const std::vector<std::string> partitionArguments{
    "partitionDisk", "/dev/sdb", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"};

class Changes : public ::testing::Test {
protected:
    void SetUp() override
    {
        addTypicalDisks(system);
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        stick = system.node("sdb", 1 << 20);
        std::filesystem::resize_file(stick, 0);
        std::ofstream(stick) << "old contents";
    }

    std::filesystem::path deleteFile(const std::string& disk) { return system.blockFolder(disk) / "device/delete"; }

    void expectFailure(const Outcome& outcome, const std::string& part)
    {
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "") << "nothing may have started";
        ASSERT_EQ(outcome.errLines().size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find(part), std::string::npos) << outcome.err;
        EXPECT_EQ(readText(stick), "old contents");
        EXPECT_EQ(readText(deleteFile("sdb")), "");
    }

    FakeSystem system;
    std::filesystem::path stick;
};

TEST_F(Changes, EjectFlushesAndDeletesTheScsiDevice)
{
    const Outcome outcome = system.run({"eject", "/dev/sdb"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Disk /dev/sdb ejected\n");
    EXPECT_EQ(readText(deleteFile("sdb")), "1");
    EXPECT_EQ(readText(deleteFile("sdc")), "") << "another stick was removed";
}

TEST_F(Changes, EjectOfAPartitionIsRefused)
{
    expectFailure(system.run({"eject", "sdbs1"}), "eject needs a whole disk; sdb1 is a partition.");
}

TEST_F(Changes, EjectWithoutScsiDeleteRemovesTheUsbDevice)
{
    std::filesystem::remove(deleteFile("sdb"));
    const auto remove = system.sys() / "devices/pci0000:00/0000:00:14.0/usb2/2-1/remove";
    const Outcome outcome = system.run({"eject", "/dev/sdb"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(readText(remove), "1");
}

TEST_F(Changes, EjectOfADiskThatCannotBeRemovedFails)
{
    system.node("mmcblk0");
    const Outcome outcome = system.run({"eject", "/dev/mmcblk0"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.errLines().size(), 1U) << outcome.err;
}

TEST_F(Changes, EjectOfADiskCarryingAnActiveVolumeIsRefused)
{
    system.virtualDisk("dm-3", "253:3", 4096);
    system.slave("dm-3", "sdb1");
    const Outcome outcome = system.run({"eject", "/dev/sdb"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "eject refused: sdb is in use by the device dm-3; nothing was changed.\n");
    EXPECT_EQ(readText(deleteFile("sdb")), "");
}

TEST_F(Changes, EjectOfTheSystemDiskIsRefused)
{
    system.node("nvme0n1");
    const Outcome outcome = system.run({"eject", "/dev/nvme0n1"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "eject refused: nvme0n1 is an internal disk; only a USB stick is changed.\n");
}

TEST_F(Changes, PartitionDiskAcceptsOnlyTheOneShape)
{
    const auto with = [](std::size_t index, const std::string& value) {
        auto arguments = partitionArguments;
        arguments[index] = value;
        return arguments;
    };
    auto extra = partitionArguments;
    extra.push_back("MS-DOS FAT32");
    auto shortened = partitionArguments;
    shortened.pop_back();
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             with(2, "GPT"), with(2, "mbr"), with(3, "ExFAT"), with(3, "MS-DOS FAT16"), with(5, "1024M"),
             with(5, "2097152"), with(5, "S"), with(5, "-5S"), with(5, "0S"), with(5, "99999999999999999999S"),
             with(6, "MS-DOS FAT32"), with(7, "SECOND"), with(8, "0"), extra, shortened}) {
        expectFailure(system.run(arguments), "partitionDisk");
    }
}

TEST_F(Changes, PartitionDiskChecksTheVolumeName)
{
    for (const std::string label : {"", "TWELVE CHARS", "A/B", "A.B", " LEADING", "NAME\n"}) {
        auto arguments = partitionArguments;
        arguments[4] = label;
        expectFailure(system.run(arguments), "volume name");
    }
}

TEST_F(Changes, PartitionDiskRefusesPartitionsMissingDisksAndTooSmallDisks)
{
    auto arguments = partitionArguments;
    arguments[1] = "/dev/sdb1";
    expectFailure(system.run(arguments), "whole disk");
    arguments[1] = "/dev/sdx";
    expectFailure(system.run(arguments), "Could not find disk: sdx");
    arguments[1] = "/dev/../sdb";
    expectFailure(system.run(arguments), "Invalid");
    arguments[1] = "/dev/sdb";
    arguments[5] = "60060453S"; // with the first MiB, one sector more than the stick holds
    expectFailure(system.run(arguments), "does not fit");
}

TEST_F(Changes, MountKeepsTheMountOfAnAlreadyMountedPartition)
{
    system.mount("8:17", "/media/alice/SARNOVELLE", "vfat", "/dev/sdb1");
    const Outcome outcome = system.run({"mount", "sdbs1"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Volume sdb1 mounted at /media/alice/SARNOVELLE\n");
}

TEST_F(Changes, MountRefusesWhatIsNotFat)
{
    system.node("sdb1", 1 << 20);
    const Outcome outcome = system.run({"mount", "sdbs1"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Could not mount sdb1: no file system found.\n");
    EXPECT_TRUE(std::filesystem::is_empty(system.roots().media)) << "a mount folder was left behind";
}

TEST_F(Changes, UnmountOfAnUnmountedPartitionSucceeds)
{
    const Outcome outcome = system.run({"unmount", "sdbs1"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Volume sdb1 unmounted\n");
}

TEST_F(Changes, UnmountOfASystemPartitionIsRefused)
{
    const Outcome outcome = system.run({"unmount", "nvme0n1s1"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "unmount refused: nvme0n1p1 lies on nvme0n1, an internal disk; only a USB stick is "
                           "changed.\n");
}

} // namespace
} // namespace sarnovelle::test
