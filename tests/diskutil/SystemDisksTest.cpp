// "info -plist /": the devices that really hold the running system, through
// device-mapper, md, btrfs, loop, /boot, /boot/efi, /usr and swap.

#include "SystemDisksFixture.h"

namespace sarnovelle::test {
namespace {

class SystemDisks : public SystemDisksFixture {};

TEST_F(SystemDisks, PlainRootPartition)
{
    system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
    const PlistDict answer = rootInfo();
    EXPECT_EQ(answer.text("DeviceIdentifier"), "nvme0n1p1");
    EXPECT_EQ(answer.text("ParentWholeDisk"), "nvme0n1");
    EXPECT_EQ(answer.text("MountPoint"), "/");
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"nvme0n1p1"}));
}

TEST_F(SystemDisks, RootOnLvmOnAUsbDiskNamesTheUsbPartition)
{
    system.partition("sdb", "sdb2", 2, "8:18", 4096);
    system.virtualDisk("dm-0", "253:0", 4096);
    system.attribute("dm-0", "dm/name", "vg-root");
    system.slave("dm-0", "sdb2");
    system.mount("253:0", "/", "ext4", "/dev/mapper/vg-root");

    const PlistDict answer = rootInfo();
    EXPECT_EQ(answer.text("ParentWholeDisk"), "dm-0");
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"sdb2"}));
    EXPECT_EQ(excludedDisks(answer), (std::vector<std::string>{"dm-0", "sdb"}));
    expectRefused("sdb");
}

TEST_F(SystemDisks, LuksInsideLvmIsFollowedToTheLeaves)
{
    system.partition("sdc", "sdc2", 2, "8:34", 4096);
    system.virtualDisk("dm-0", "253:0", 4096);
    system.virtualDisk("dm-1", "253:1", 4096);
    system.slave("dm-0", "sdc2");
    system.slave("dm-1", "dm-0");
    system.attribute("dm-1", "dm/name", "luks-root");
    system.mount("253:1", "/", "ext4", "/dev/mapper/luks-root");
    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"sdc2"}));
    expectRefused("sdc");
}

TEST_F(SystemDisks, RootOnMdRaidNamesEveryMember)
{
    system.partition("sdb", "sdb2", 2, "8:18", 4096);
    system.virtualDisk("md0", "9:0", 4096);
    system.slave("md0", "sda2");
    system.slave("md0", "sdb2");
    system.mount("9:0", "/", "ext4", "/dev/md0");

    const PlistDict answer = rootInfo();
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"sda2", "sdb2"}));
    EXPECT_EQ(excludedDisks(answer), (std::vector<std::string>{"md0", "sda", "sdb"}));
    expectRefused("sdb");
}

TEST_F(SystemDisks, PartitionOfAnMdArrayIsFollowedThroughTheArray)
{
    system.virtualDisk("md127", "9:127", 4096);
    system.partition("md127", "md127p1", 1, "259:9", 4000);
    system.slave("md127", "sda1");
    system.slave("md127", "sdc1");
    system.mount("259:9", "/", "ext4", "/dev/md127p1");
    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"sda1", "sdc1"}));
}

TEST_F(SystemDisks, BtrfsOverTwoDevicesNamesBoth)
{
    // btrfs shows an anonymous device number; the source names one member.
    system.btrfs("5e1f2a3b-0000-4000-8000-0123456789ab", {"sda2", "sdc1"});
    system.mount("0:33", "/", "btrfs", "/dev/sda2");

    const PlistDict answer = rootInfo();
    EXPECT_EQ(answer.text("ParentWholeDisk"), "sda");
    EXPECT_EQ(answer.text("FilesystemType"), "btrfs");
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"sda2", "sdc1"}));
    expectRefused("sdc");
}

TEST_F(SystemDisks, BootUsrAndSwapAreCountedToo)
{
    system.partition("sdb", "sdb2", 2, "8:18", 4096);
    system.partition("sdc", "sdc2", 2, "8:34", 4096);
    system.partition("nvme0n1", "nvme0n1p2", 2, "259:2", 4096);
    system.mount("8:2", "/", "ext4", "/dev/sda2");
    system.mount("8:1", "/boot/efi", "vfat", "/dev/sda1");
    system.mount("259:2", "/usr", "ext4", "/dev/nvme0n1p2");
    system.mount("8:18", "/boot", "ext4", "/dev/sdb2");
    system.mount("8:33", "/media/alice/DATA", "vfat", "/dev/sdc1"); // not a system mount
    system.swap("/dev/sdc2", "partition");

    const PlistDict answer = rootInfo();
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"sda2", "sdb2", "sda1", "nvme0n1p2", "sdc2"}));
    expectRefused("sdb");
    expectRefused("sdc");
}

TEST_F(SystemDisks, SwapFileCountsTheDiskHoldingIt)
{
    system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
    system.mount("8:17", "/srv/data", "ext4", "/dev/sdb1");
    system.swap("/srv/data/swap file", "file");
    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"nvme0n1p1", "sdb1"}));
}

TEST_F(SystemDisks, RootOnALoopFileIsTracedToTheDiskHoldingTheFile)
{
    system.attribute("loop0", "loop/backing_file", "/host/images/root.img");
    system.mount("8:17", "/host", "vfat", "/dev/sdb1");
    system.mount("7:0", "/", "ext4", "/dev/loop0");
    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"loop0", "sdb1"}));
    expectRefused("sdb");
}

TEST_F(SystemDisks, RootWithoutBlockDeviceStillNamesTheOtherSystemDisks)
{
    system.mount("0:40", "/", "overlay", "overlay");
    system.swap("/dev/sdb1", "partition");
    const PlistDict answer = rootInfo();
    EXPECT_FALSE(answer.text("ParentWholeDisk").has_value());
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"sdb1"}));
}

TEST_F(SystemDisks, OtherMountPointsAnswerWithTheirOwnDevices)
{
    system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
    system.mount("8:17", "/media/alice/MY STICK", "vfat", "/dev/sdb1");
    const Outcome outcome = system.run({"info", "-plist", "/media/alice/MY STICK/"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const auto answer = outcome.plist();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->text("ParentWholeDisk"), "sdb");
    EXPECT_EQ(answer->text("FilesystemType"), "msdos");
    EXPECT_EQ(stores(*answer), (std::vector<std::string>{"sdb1"}));
}

TEST_F(SystemDisks, UnknownMountPointIsAnError)
{
    system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
    for (const std::string path : {"/nowhere", "/media/../"}) {
        const Outcome outcome = system.run({"info", "-plist", path});
        EXPECT_EQ(outcome.status, 1) << path;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.errLines().size(), 1U);
    }
    FakeSystem empty;
    EXPECT_EQ(empty.run({"info", "-plist", "/"}).status, 1);
}

} // namespace
} // namespace sarnovelle::test
