#pragma once

#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/devices/Mounts.h"

#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sarnovelle::standin {

// The devices that really hold `name`: below device-mapper (LVM, LUKS)
// and md layers the devices they are built on, below a loop device the
// devices of the file system holding its backing file; the device itself
// when nothing lies below it. In order, without repeats.
std::vector<std::string> backingLeaves(const BlockTree& tree, const std::vector<MountEntry>& table,
                                       const std::string& name);

// The leaves behind everything mounted at `mountPoint` (btrfs: all its
// devices; overlay: the mounts holding its folders).
std::vector<std::string> leavesOfMount(const BlockTree& tree, const std::vector<MountEntry>& table,
                                       const std::string& mountPoint);

// The places the running system is read from; every mount stacked at
// each counts, so that one mounted on top cannot hide the disk below it.
inline constexpr std::array<std::string_view, 6> systemPlaces{"/", "/boot", "/boot/efi", "/efi", "/boot/firmware",
                                                              "/usr"};

// What the running system stands on.
struct SystemStores {
    // The device mounted at "/", when it is a block device.
    std::optional<std::string> rootDevice;
    std::optional<MountEntry> rootMount;
    // The leaves behind the system's places, a live system's medium and
    // persistence mounts and every active swap area, in that order,
    // without repeats.
    std::vector<std::string> stores;
    // Empty, or why the disks of one of the system's places are not known
    // ("/ is a zfs file system from rpool/ROOT/debian whose devices are not
    // known."): a disk-backed file system whose devices are not found, an
    // automount point with nothing mounted on it, no mount at "/". The
    // stores are then incomplete.
    std::string unknown;
    // The whole disks of the root device and of every store.
    std::set<std::string> wholeDisks;
};

SystemStores systemStores(const BlockTree& tree, const std::vector<MountEntry>& table,
                          const std::vector<SwapEntry>& swaps);

} // namespace sarnovelle::standin
