#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <optional>
#include <string>
#include <vector>

namespace sarnovelle::standin {

// One line of <proc>/self/mountinfo, escapes (\040 and the like) undone.
struct MountEntry {
    DevNumber device;
    std::string root;       // the folder of the file system mounted here
    std::string mountPoint;
    std::string fsType;
    std::string source;
    // The file system's own options as the kernel shows them, escapes
    // kept ("rw,lowerdir=/a\072b:/c,upperdir=..."), so that a value can
    // be split where the kernel put its separators.
    std::string superOptions;

    bool operator==(const MountEntry&) const = default;
};

// The mount table in the kernel's order (later entries lie on top). The
// table is taken whole or not at all: a table that cannot be read, is
// empty or has a line that is not understood throws MakerError, since the
// disks of the running system would be unknown.
std::vector<MountEntry> readMountInfo(const Roots& roots);
std::vector<MountEntry> parseMountInfo(const std::string& text);

// One active swap area of <proc>/swaps.
struct SwapEntry {
    std::string path;
    std::string type; // "partition" or "file"
};
// No file means a kernel without swap; any other failure throws MakerError.
std::vector<SwapEntry> readSwaps(const Roots& roots);

// The block device named by a device path ("/dev/sdb1", "/dev/mapper/vg-root",
// "/dev/disk/by-uuid/..."), if any.
std::optional<std::string> deviceOfPath(const BlockTree& tree, const std::string& path);

// The block devices behind one mount, found by its device number: that
// device and, for a btrfs file system, every device of that file system.
// The source string counts only for btrfs, whose number is anonymous, and
// only for a device the kernel lists as a member of a btrfs file system.
std::vector<std::string> devicesOfMount(const BlockTree& tree, const MountEntry& entry);

// The topmost mount exactly at `mountPoint`.
std::optional<MountEntry> mountAt(const std::vector<MountEntry>& table, const std::string& mountPoint);
// Every mount exactly at `mountPoint`, topmost first.
std::vector<MountEntry> mountsAt(const std::vector<MountEntry>& table, const std::string& mountPoint);
// The mount holding the path: the topmost with the longest matching
// mount point.
std::optional<MountEntry> mountHolding(const std::vector<MountEntry>& table, const std::string& path);

// Every place the device is mounted (matched by device number, as in
// devicesOfMount), its own file system's root first.
std::vector<MountEntry> mountsOf(const BlockTree& tree, const std::vector<MountEntry>& table, const std::string& name);

} // namespace sarnovelle::standin
