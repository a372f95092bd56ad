// The system's places on ZFS, btrfs from /dev/root, automount points: what
// is found counts, a place on disks not found fails "info -plist /" and
// every change.

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;

namespace sarnovelle::test {
namespace {

void udevRecord(FakeSystem& system, const std::string& dev, const std::string& pool)
{
    fs::create_directories(system.roots().udevData);
    std::ofstream(system.roots().udevData / ("b" + dev)) << "E:ID_FS_TYPE=zfs_member\nE:ID_FS_LABEL=" << pool << "\n";
}

void extRoot(FakeSystem& system) { system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1"); }

struct Place {
    std::string name;
    std::function<void(FakeSystem&)> build;
    // The answer's stores when the system is found; else what is not.
    std::vector<std::string> stores;
    std::string unknown;
};

const std::vector<Place> places{
    {"ZFS root through its pool's members",
     [](FakeSystem& system) {
         udevRecord(system, "259:1", "rpool");
         udevRecord(system, "8:17", "rpool");
         udevRecord(system, "8:33", "tank");
         system.mount("0:40", "/", "zfs", "rpool/ROOT/debian");
     },
     {"sdb1", "nvme0n1p1"}, ""},
    {"ZFS root whose pool has no known member",
     [](FakeSystem& system) {
         udevRecord(system, "8:17", "tank");
         system.mount("0:40", "/", "zfs", "rpool/ROOT/debian");
     },
     {}, "/ is a zfs file system from rpool/ROOT/debian whose devices are not known."},
    {"btrfs root from /dev/root, one btrfs listed",
     [](FakeSystem& system) {
         system.btrfs("5e1f2a3b-0000-4000-8000-0123456789ab", {"sdb1"});
         system.mount("0:33", "/", "btrfs", "/dev/root");
     },
     {"sdb1"}, ""},
    {"btrfs root from /dev/root, two btrfs listed",
     [](FakeSystem& system) {
         system.btrfs("5e1f2a3b-0000-4000-8000-0123456789ab", {"sdb1"});
         system.btrfs("77aa0000-0000-4000-8000-0123456789ab", {"sda2"});
         system.mount("0:33", "/", "btrfs", "/dev/root");
     },
     {}, "/ is a btrfs file system from /dev/root whose devices are not known."},
    {"automount at /efi that mounts the stick when accessed",
     [](FakeSystem& system) {
         extRoot(system);
         system.mount("0:50", "/efi", "autofs", "systemd-1");
         system.automounter = [&system](const std::string& mountPoint) {
             if (mountPoint == "/efi") {
                 system.mount("8:17", "/efi", "vfat", "/dev/sdb1");
             }
         };
     },
     {"nvme0n1p1", "sdb1"}, ""},
    {"automount at /efi that stays empty",
     [](FakeSystem& system) {
         extRoot(system);
         system.mount("0:50", "/efi", "autofs", "systemd-1");
     },
     {}, "/efi is an automount point that stays empty when accessed."},
    {"/efi on the stick",
     [](FakeSystem& system) {
         extRoot(system);
         system.mount("8:17", "/efi", "vfat", "/dev/sdb1");
     },
     {"nvme0n1p1", "sdb1"}, ""},
    {"/boot/firmware on the stick",
     [](FakeSystem& system) {
         extRoot(system);
         system.mount("8:17", "/boot/firmware", "vfat", "/dev/sdb1");
     },
     {"nvme0n1p1", "sdb1"}, ""},
    {"/boot in memory",
     [](FakeSystem& system) {
         extRoot(system);
         system.mount("0:45", "/boot", "tmpfs", "tmpfs");
     },
     {"nvme0n1p1"}, ""},
    {"overlay root with its changes on an unfollowed file system",
     [](FakeSystem& system) {
         system.mount("0:46", "/run/ro", "tmpfs", "tmpfs");
         system.mount("0:48", "/data", "bcachefs", "/dev/sda2:/dev/sdb1");
         system.mount("0:47", "/", "overlay", "overlay", "/",
                      "rw,lowerdir=/run/ro,upperdir=/data/up,workdir=/data/work");
     },
     {}, "/data is a bcachefs file system from /dev/sda2:/dev/sdb1 whose devices are not known."},
};

std::vector<std::string> storesOf(const Outcome& outcome)
{
    std::vector<std::string> names;
    for (const auto& element : outcome.plist().value_or(PlistDict()).list("APFSPhysicalStores").value_or(
             std::vector<PlistNode>{})) {
        names.push_back(element.dict() ? element.dict()->text("APFSPhysicalStore").value_or("?") : "?");
    }
    return names;
}

TEST(SystemPlaces, WhatIsFoundCountsAndAPlaceWithoutDisksRefusesEverything)
{
    const std::string cannot = "The running system's disks cannot be found: ";
    const std::vector<std::string> partitionStick{"partitionDisk", "/dev/sdb",  "MBR",  "MS-DOS FAT32", "SARNOVELLE",
                                                  "2097152S",      "Free Space", "none", "R"};
    for (const auto& place : places) {
        SCOPED_TRACE(place.name);
        // Each run on a machine of its own, so that each wakes the automount.
        FakeSystem asked;
        addTypicalDisks(asked);
        place.build(asked);
        const Outcome info = asked.run({"info", "-plist", "/"});
        FakeSystem changed;
        addTypicalDisks(changed);
        place.build(changed);
        // Without rights or udisks2 the change goes no further than the checks.
        const Outcome partitioned = changed.run(partitionStick, false);

        EXPECT_EQ(partitioned.status, 1);
        EXPECT_EQ(partitioned.errLines().size(), 1U) << partitioned.err;
        if (!place.unknown.empty()) {
            EXPECT_EQ(info.status, 1);
            EXPECT_EQ(info.out, "");
            EXPECT_EQ(info.err, cannot + place.unknown + "\n");
            EXPECT_EQ(partitioned.err, "partitionDisk refused: " + cannot + place.unknown + "\n");
            continue;
        }
        EXPECT_EQ(info.status, 0) << info.err;
        EXPECT_EQ(storesOf(info), place.stores);
        const bool stickIsSystem = std::find(place.stores.begin(), place.stores.end(), "sdb1") != place.stores.end();
        EXPECT_EQ(partitioned.err.starts_with("partitionDisk refused: sdb holds the running system"), stickIsSystem)
            << partitioned.err;
        EXPECT_EQ(partitioned.err.starts_with("Preparing a stick needs the udisks2 service"), !stickIsSystem)
            << partitioned.err;
    }
}

} // namespace
} // namespace sarnovelle::test
