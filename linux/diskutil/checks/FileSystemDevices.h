#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <optional>
#include <string>
#include <vector>

namespace sarnovelle::standin {

// For mounts whose device number leads to no block device.

// Whether a file system of this kernel type keeps its data on a disk of
// this machine. Memory (tmpfs, ramfs), the kernel's own views (proc,
// sysfs, devtmpfs), network and host shares (nfs, cifs, 9p, virtiofs) and
// FUSE programs do not; any other type is taken to, so that a file system
// unknown here counts as one whose disks are unknown.
bool isDiskBacked(const std::string& fsType);

// The members of the imported ZFS pool a dataset ("rpool/ROOT/debian",
// "tank@snap") belongs to: the block devices udev (or, for root, libblkid)
// finds a zfs_member of that pool name on, in the order of their device
// numbers.
std::vector<std::string> zfsPoolMembers(const BlockTree& tree, const std::string& dataset);

// The devices of the one btrfs file system the kernel lists in
// <sysfs>/fs/btrfs, for a btrfs mount whose source names no member
// ("/dev/root"). Nothing when it lists none or several, or when its
// device list cannot be read.
std::optional<std::vector<std::string>> soleBtrfsDevices(const BlockTree& tree);

} // namespace sarnovelle::standin
