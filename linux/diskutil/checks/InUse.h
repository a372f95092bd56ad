#pragma once

#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/devices/Mounts.h"

#include <string>
#include <vector>

namespace sarnovelle::standin {

// A loop device that is set up, and the file or device it reads
// ("/dev/sdb1", "/media/alice/STICK/disk.img").
struct LoopDevice {
    std::string name;
    std::string backingFile;
};

std::vector<LoopDevice> loopDevices(const BlockTree& tree);

// The first loop device reading a file below `folder` (a mount point), or
// empty text: it keeps that file system busy.
std::string loopOnFilesUnder(const BlockTree& tree, const std::string& folder);

// What keeps a whole disk in use although nothing may be mounted from it
// directly: a device built on the disk or one of its partitions (LUKS,
// LVM and other device-mapper volumes, md arrays, bcache, a loop device
// reading the disk or a partition), a device of a
// mounted btrfs file system that spans more than one device, a ZFS pool
// member while the zfs module is loaded, or active swap. Erasing such a
// disk destroys a volume the system still holds open, so it is neither
// offered nor changed. A file system mounted straight from a partition
// is not counted: it is unmounted before a change.
//
// Returns what uses it, ready to follow "in use by " ("the LUKS volume
// luks-0f3a, mounted at /media/alice/Backup"), or empty text.
std::string whatUsesDisk(const BlockTree& tree, const std::vector<MountEntry>& table,
                         const std::vector<SwapEntry>& swaps, const std::string& disk);

} // namespace sarnovelle::standin
