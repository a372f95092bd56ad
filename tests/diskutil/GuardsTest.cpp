// The checks before every change, through the program's entry point in
// fake kernel views: only a USB stick that the application would offer is
// partitioned or ejected, only its partitions are mounted or unmounted, a
// disk of the running system never, and a mount table that cannot be read
// whole refuses everything.

#include "FakeSystem.h"

#include "linux/diskutil/devices/Mounts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace fs = std::filesystem;

namespace sarnovelle::test {
namespace {

std::vector<std::string> partitionDisk(const std::string& disk)
{
    return {"partitionDisk", "/dev/" + disk, "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"};
}

class Guards : public ::testing::Test {
protected:
    void SetUp() override
    {
        addTypicalDisks(system);
        // An md array and an LV on the internal disk's second partition.
        system.virtualDisk("md0", "9:0", 4096000);
        system.partition("md0", "md0p1", 1, "259:8", 4000000);
        system.slave("md0", "sda2");
        system.virtualDisk("dm-0", "253:0", 4096000);
        system.attribute("dm-0", "dm/name", "vg-data");
        system.slave("dm-0", "sda1");
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        for (const char* name : {"sda", "sda1", "nvme0n1", "md0", "md0p1", "dm-0", "loop0", "zram0", "mmcblk0", "sr0",
                                 "sdb", "sdb1"}) {
            std::ofstream(system.node(name, 0)) << "old contents of " << name;
        }
    }

    // Refused with one line naming the device; nothing printed, no node
    // written, nothing removed, no mount folder made.
    void expectRefused(const std::vector<std::string>& arguments, const std::string& named, const std::string& part)
    {
        const Outcome outcome = system.run(arguments);
        SCOPED_TRACE(arguments[0] + " " + arguments[1]);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        ASSERT_EQ(outcome.errLines().size(), 1U) << outcome.err;
        EXPECT_NE(outcome.err.find(named), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find(part), std::string::npos) << outcome.err;
        expectUntouched();
    }

    void expectUntouched()
    {
        for (const char* name : {"sda", "sda1", "nvme0n1", "md0", "dm-0", "loop0", "mmcblk0", "sdb", "sdb1"}) {
            EXPECT_EQ(readText(system.roots().dev / name), std::string("old contents of ") + name);
        }
        for (const char* disk : {"sdb", "sdc"}) {
            EXPECT_EQ(readText(system.blockFolder(disk) / "device/delete"), "") << disk << " was removed";
        }
        EXPECT_TRUE(fs::is_empty(system.roots().media));
    }

    void writeMountInfo(const std::string& text)
    {
        std::ofstream(system.roots().proc / "self/mountinfo", std::ios::trunc) << text;
    }

    FakeSystem system;
};

TEST_F(Guards, DisksThatAreNoUsbStickAreRefusedByName)
{
    for (const auto& [disk, why] : std::vector<std::pair<std::string, std::string>>{
             {"sda", "sda is an internal disk"},
             {"nvme0n1", "nvme0n1 is an internal disk"},
             {"md0", "md0 is no physical disk (Virtual)"},
             {"dm-0", "dm-0 is no physical disk (Virtual)"},
             {"loop0", "loop0 is no physical disk (Virtual)"},
             {"zram0", "zram0 is no physical disk"},
             {"sr0", "sr0 is no physical disk"},
             {"mmcblk0", "mmcblk0 is not attached by USB (Secure Digital)"}}) {
        expectRefused(partitionDisk(disk), why, "partitionDisk refused");
        expectRefused({"eject", "/dev/" + disk}, why, "eject refused");
    }
    expectRefused(partitionDisk("sdx"), "sdx", "Could not find disk");
    expectRefused({"eject", "/dev/mapper/vg-data"}, "mapper/vg-data", "Invalid disk identifier");
    expectRefused({"eject", "sdb1"}, "sdb1", "eject needs a whole disk");
}

TEST_F(Guards, OnlyPartitionsOfAUsbStickAreMountedOrUnmounted)
{
    for (const std::string verb : {"mount", "unmount"}) {
        expectRefused({verb, "sdas1"}, "sda1 lies on sda, an internal disk", verb + " refused");
        expectRefused({verb, "md0p1"}, "md0p1 lies on md0, no physical disk", verb + " refused");
        expectRefused({verb, "nvme0n1s1"}, "nvme0n1p1 lies on nvme0n1", verb + " refused");
        expectRefused({verb, "dm-0"}, "dm-0 is a whole disk", verb + " needs a partition");
        expectRefused({verb, "sdb"}, "sdb is a whole disk", verb + " needs a partition");
    }
    const Outcome outcome = system.run({"unmount", "sdbs1"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Volume sdb1 unmounted\n");
}

TEST_F(Guards, AWriteProtectedStickIsNeverWrittenButMayBeUnmountedAndEjected)
{
    // The lock switch of the whole disk, or the kernel's read-only mark on
    // one partition (blockdev --setro).
    for (const auto& [device, why] : std::vector<std::pair<std::string, std::string>>{
             {"sdb", "sdb1 lies on sdb, which is write-protected (its lock switch may be on)"},
             {"sdb1", "sdb1 is write-protected"}}) {
        system.attribute(device, "ro", "1");
        if (device == "sdb") {
            expectRefused(partitionDisk("sdb"), "sdb is write-protected (its lock switch may be on)",
                          "partitionDisk refused");
        }
        expectRefused({"mount", "sdbs1"}, why, "mount refused");
        const Outcome unmounted = system.run({"unmount", "sdbs1"});
        EXPECT_EQ(unmounted.status, 0) << unmounted.err;
        system.attribute(device, "ro", "0");
    }
    system.attribute("sdc", "ro", "1");
    system.node("sdc");
    const Outcome ejected = system.run({"eject", "sdc"});
    EXPECT_EQ(ejected.status, 0) << ejected.err;
    EXPECT_EQ(readText(system.blockFolder("sdc") / "device/delete"), "1");
}

TEST_F(Guards, SticksBelowTheSizeFloorAreRefusedAndTheFloorItselfPasses)
{
    constexpr std::uint64_t floorSectors = 1088ULL * 2048;
    addUsbStick(system, "sdd", "2-4", 9, "8:48", floorSectors - 1);
    addUsbStick(system, "sde", "2-5", 10, "8:64", floorSectors);
    system.node("sde");
    expectRefused(partitionDisk("sdd"), "sdd is too small (1087 MiB, at least 1088 MiB needed)", "partitionDisk");
    expectRefused({"eject", "sdd"}, "sdd is too small", "eject refused");
    const Outcome outcome = system.run({"eject", "sde"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(readText(system.blockFolder("sde") / "device/delete"), "1");
}

TEST_F(Guards, AStickHoldingTheRunningSystemIsRefusedByName)
{
    system.mount("8:33", "/boot", "ext4", "/dev/sdc1");
    expectRefused(partitionDisk("sdc"), "sdc holds the running system", "partitionDisk refused");
    expectRefused({"eject", "sdc"}, "sdc holds the running system", "eject refused");
    expectRefused({"unmount", "sdcs1"}, "sdc holds the running system", "unmount refused");
}

TEST_F(Guards, AFuseMountCallingItselfTheStickIsNotTheSticksMount)
{
    // A user's FUSE program chooses its own source text and has no device
    // number of a block device. Its folder sits where this program's own
    // mount folders go, which an unmount would remove.
    const fs::path folder = system.roots().media / "alice/STICK";
    fs::create_directories(folder);
    system.mount("0:52", folder.string(), "fuse.sshfs", "/dev/sdb1", "/", "rw,user_id=1000");
    const Outcome info = system.run({"info", "-plist", "sdbs1"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.plist().value_or(PlistDict()).text("MountPoint"), "");

    const Outcome unmounted = system.run({"unmount", "sdbs1"});
    EXPECT_EQ(unmounted.status, 0) << unmounted.err;
    EXPECT_TRUE(fs::is_directory(folder)) << "the FUSE mount's folder was taken for the stick's";
}

TEST_F(Guards, AFuseMountOverBootHidesNeitherTheBootDiskNorMakesTheStickItNamesOne)
{
    system.mount("8:33", "/boot", "ext4", "/dev/sdc1");
    system.mount("0:52", "/boot", "fuse.evil", "/dev/sdb1");
    expectRefused(partitionDisk("sdc"), "sdc holds the running system", "partitionDisk refused");
    const Outcome root = system.run({"info", "-plist", "/"});
    ASSERT_EQ(root.status, 0) << root.err;
    const auto stores = root.plist().value_or(PlistDict()).list("APFSPhysicalStores");
    ASSERT_TRUE(stores.has_value());
    EXPECT_EQ(stores->size(), 2U) << root.out; // nvme0n1p1 and sdc1, not sdb1
    EXPECT_EQ(root.out.find("<string>sdb1</string>"), std::string::npos) << root.out;

    const Outcome eject = system.run({"eject", "sdb"});
    EXPECT_EQ(eject.status, 0) << eject.err;
}

TEST_F(Guards, BtrfsCountsItsSourceOnlyForAMemberTheKernelLists)
{
    // The root on btrfs on the stick sdc (anonymous device number): its
    // source names the member. A FUSE mount naming sdb1 is not btrfs.
    system.btrfs("0f6c1a52-0000-4000-8000-00000000c0de", {"sdc1"});
    system.mount("0:33", "/usr", "btrfs", "/dev/sdc1");
    expectRefused(partitionDisk("sdc"), "sdc holds the running system", "partitionDisk refused");
    // A btrfs mount whose source names a device that is no member.
    system.mount("0:34", "/boot", "btrfs", "/dev/sdb1");
    const Outcome eject = system.run({"eject", "sdb"});
    EXPECT_EQ(eject.status, 0) << eject.err;
}

TEST_F(Guards, AMountTableThatCannotBeReadWholeRefusesEveryChange)
{
    const std::string good = readText(system.roots().proc / "self/mountinfo");
    const fs::path table = system.roots().proc / "self/mountinfo";
    const std::vector<std::pair<std::string, std::function<void()>>> breakages{
        {"missing", [&] { fs::remove(table); }},
        {"unreadable", [&] { fs::remove(table); fs::create_directory(table); }},
        {"empty", [&] { writeMountInfo(""); }},
        {"cut off", [&] { writeMountInfo(good.substr(0, good.size() - 1)); }},
        {"a line without separator", [&] { writeMountInfo(good + "40 1 8:17 / /media/x rw shared:1 vfat /dev/sdb1 rw\n"); }},
        {"two blanks", [&] { writeMountInfo(good + "40 1 8:17 / /media/x  rw - vfat /dev/sdb1 rw\n"); }},
        {"a bad escape", [&] { writeMountInfo(good + "40 1 8:17 / /media/x\\04 rw - vfat /dev/sdb1 rw\n"); }},
        {"a bad device number", [&] { writeMountInfo(good + "40 1 8-17 / /media/x rw - vfat /dev/sdb1 rw\n"); }},
    };
    for (const auto& [what, breakTable] : breakages) {
        SCOPED_TRACE(what);
        fs::remove_all(table);
        breakTable();
        for (const auto& arguments : std::vector<std::vector<std::string>>{
                 partitionDisk("sdb"), {"eject", "sdb"}, {"mount", "sdbs1"}, {"unmount", "sdbs1"}}) {
            expectRefused(arguments, "mount table", arguments[0] + " refused: Could not read the mount table");
        }
        const Outcome root = system.run({"info", "-plist", "/"});
        EXPECT_EQ(root.status, 1);
        EXPECT_EQ(root.out, "");
        EXPECT_NE(root.err.find("the disks of the running system are unknown"), std::string::npos) << root.err;
    }
}

TEST_F(Guards, AnUnreadableSwapListRefusesEveryChange)
{
    fs::remove(system.roots().proc / "swaps");
    fs::create_directory(system.roots().proc / "swaps");
    expectRefused(partitionDisk("sdb"), "swap list", "partitionDisk refused");
    EXPECT_EQ(system.run({"info", "-plist", "/"}).status, 1);
}

TEST_F(Guards, ALongMountTableIsReadWhole)
{
    // Far beyond any small-file cap: the system's disk at the very end
    // must still be found.
    std::string text = readText(system.roots().proc / "self/mountinfo");
    for (int i = 0; i < 60000; ++i) {
        text += std::to_string(1000 + i) + " 1 0:200 / /srv/filler/" + std::to_string(i)
                + " rw,relatime shared:9 - tmpfs tmpfs rw,size=1024k\n";
    }
    text += "99999 1 8:33 / /boot rw,relatime - ext4 /dev/sdc1 rw\n";
    ASSERT_GT(text.size(), 4U << 20);
    writeMountInfo(text);
    expectRefused(partitionDisk("sdc"), "sdc holds the running system", "partitionDisk refused");
}

TEST(MountTable, FieldsAreSplitOnSingleBlanksAndTheKernelsEscapesUndone)
{
    const auto table = standin::parseMountInfo(
        "36 35 8:17 / /media/alice/MY\\040STICK\\011tab\\012line\\134back rw,nosuid shared:7 master:1 - vfat "
        "/dev/sdb1 rw,fmask=0022\n"
        "37 35 0:45 / /run/empty rw - tmpfs  rw,size=8k\n");
    ASSERT_EQ(table.size(), 2U);
    EXPECT_EQ(table[0].device, (standin::DevNumber{8, 17}));
    EXPECT_EQ(table[0].mountPoint, "/media/alice/MY STICK\ttab\nline\\back");
    EXPECT_EQ(table[0].fsType, "vfat");
    EXPECT_EQ(table[0].source, "/dev/sdb1");
    EXPECT_EQ(table[0].superOptions, "rw,fmask=0022");
    // An empty source is a field of its own: the options stay options.
    EXPECT_EQ(table[1].source, "");
    EXPECT_EQ(table[1].superOptions, "rw,size=8k");
}

TEST_F(Guards, EscapedMountPointsAreReportedDecoded)
{
    const std::string place = "/media/alice/MY STICK\tWITH\\ODD\nNAME";
    system.mount("8:17", place, "vfat", "/dev/sdb1");
    const Outcome info = system.run({"info", "-plist", "sdbs1"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.plist().value_or(PlistDict()).text("MountPoint"), place);
    const Outcome mount = system.run({"mount", "sdbs1"});
    EXPECT_EQ(mount.status, 0) << mount.err;
    EXPECT_EQ(mount.out, "Volume sdb1 mounted at " + place + "\n");
}

} // namespace
} // namespace sarnovelle::test

namespace sarnovelle::test {
namespace {

// A stick with a volume built on it: whatever uses it is named in its
// answer, and every change is refused before anything is touched. A file
// system mounted straight from a partition does not count: it is
// unmounted before a change.
TEST(InUse, AStickCarryingAVolumeIsNamedAndNeverChanged)
{
    struct Row {
        const char* what;
        std::function<void(FakeSystem&)> build;
        std::string user;    // "InUseBy" of the disk's answer; empty: none
        std::string refusal; // in the changing verbs' line
    };
    const auto luks = [](FakeSystem& system) {
        system.virtualDisk("dm-1", "253:1", 4096);
        system.attribute("dm-1", "dm/name", "luks-0f3a");
        system.attribute("dm-1", "dm/uuid", "CRYPT-LUKS2-0f3a9c-luks-0f3a");
        system.slave("dm-1", "sdb1");
    };
    const auto lvm = [](FakeSystem& system, const std::string& below) {
        system.virtualDisk("dm-2", "253:2", 4096);
        system.attribute("dm-2", "dm/name", "stick-data");
        system.attribute("dm-2", "dm/uuid", "LVM-Xa81kd");
        system.slave("dm-2", below);
        system.mount("253:2", "/srv/data", "ext4", "/dev/mapper/stick-data");
    };
    const std::vector<Row> rows{
        {"an unlocked LUKS volume, mounted",
         [&](FakeSystem& system) {
             luks(system);
             system.mount("253:1", "/media/alice/Backup", "ext4", "/dev/mapper/luks-0f3a");
         },
         "the LUKS volume luks-0f3a, mounted at /media/alice/Backup", ""},
        {"an active LVM physical volume with a mounted LV",
         [&](FakeSystem& system) { lvm(system, "sdb1"); },
         "the LVM volume stick-data, mounted at /srv/data", ""},
        {"LVM inside LUKS", [&](FakeSystem& system) {
             luks(system);
             lvm(system, "dm-1");
         },
         "the LUKS volume luks-0f3a, mounted at /srv/data", ""},
        {"an assembled md member on the whole disk",
         [](FakeSystem& system) {
             system.virtualDisk("md1", "9:1", 4096);
             system.attribute("md1", "md/level", "raid1");
             system.slave("md1", "sdb");
         },
         "the RAID array md1", ""},
        {"a bcache backing device",
         [](FakeSystem& system) {
             system.virtualDisk("bcache0", "252:0", 4096);
             system.slave("bcache0", "sdb1");
         },
         "the bcache device bcache0", ""},
        {"the second device of a mounted two-device btrfs",
         [](FakeSystem& system) {
             system.btrfs("5d1c", {"sdc1", "sdb1"});
             system.mount("0:44", "/srv/pool", "btrfs", "/dev/sdc1");
         },
         "a btrfs file system of several devices, mounted at /srv/pool", ""},
        {"a ZFS pool member while the zfs module is loaded",
         [](FakeSystem& system) {
             fs::create_directories(system.sys() / "module/zfs");
             fs::create_directories(system.roots().udevData);
             std::ofstream(system.roots().udevData / "b8:17") << "E:ID_FS_TYPE=zfs_member\nE:ID_FS_LABEL=tank\n";
         },
         "the ZFS pool tank", ""},
        {"a loop device reading the partition (no holders/ entry)",
         [](FakeSystem& system) {
             system.virtualDisk("loop3", "7:3", 4096);
             system.attribute("loop3", "loop/backing_file", "/dev/sdb1");
         },
         "the loop device loop3", ""},
        {"a loop device reading the whole disk, its volume mounted",
         [](FakeSystem& system) {
             system.virtualDisk("loop4", "7:4", 4096);
             system.attribute("loop4", "loop/backing_file", "/dev/sdb");
             system.mount("7:4", "/srv/vm", "ext4", "/dev/loop4");
         },
         "the loop device loop4, mounted at /srv/vm", ""},
        {"a loop device reading a file of another disk",
         [](FakeSystem& system) {
             system.virtualDisk("loop5", "7:5", 4096);
             system.attribute("loop5", "loop/backing_file", "/dev/sdb10");
             system.attribute("loop0", "loop/backing_file", "/media/alice/OLD/disk.img");
         },
         "", ""},
        {"active swap", [](FakeSystem& system) { system.swap("/dev/sdb1", "partition"); }, "swap space on sdb1",
         "sdb holds the running system"},
        {"a file system mounted from the partition itself",
         [](FakeSystem& system) {
             system.mount("8:17", "/media/alice/OLD", "vfat", "/dev/sdb1");
             system.btrfs("77aa", {"sdb1"});
         },
         "", ""},
        {"a ZFS label without the zfs module",
         [](FakeSystem& system) {
             fs::create_directories(system.roots().udevData);
             std::ofstream(system.roots().udevData / "b8:17") << "E:ID_FS_TYPE=zfs_member\n";
         },
         "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FakeSystem system;
        addTypicalDisks(system);
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        row.build(system);
        const auto answer = system.run({"info", "-plist", "sdb"}).plist();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->text("InUseBy").value_or(""), row.user);
        if (row.user.empty()) {
            continue;
        }
        for (const char* name : {"sdb", "sdb1"}) {
            std::ofstream(system.node(name, 0)) << "old contents";
        }
        const std::string refusal = row.refusal.empty() ? "is in use by " + row.user : row.refusal;
        for (const auto& arguments : {partitionDisk("sdb"), std::vector<std::string>{"eject", "sdb"},
                                      std::vector<std::string>{"unmount", "sdb1"}}) {
            const Outcome outcome = system.run(arguments);
            EXPECT_EQ(outcome.status, 1) << arguments[0];
            EXPECT_NE(outcome.err.find(refusal), std::string::npos) << outcome.err;
        }
        EXPECT_EQ(readText(system.roots().dev / "sdb"), "old contents");
        EXPECT_EQ(readText(system.roots().dev / "sdb1"), "old contents");
        EXPECT_EQ(readText(system.blockFolder("sdb") / "device/delete"), "");
    }
}

} // namespace
} // namespace sarnovelle::test
