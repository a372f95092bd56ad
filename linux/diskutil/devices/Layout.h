#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sarnovelle::standin {

// What a whole disk's first sectors hold, as libblkid reads them where the
// device can be opened (root) and as udev recorded it otherwise (any user).
struct DiskLayout {
    std::string tableType;        // "dos", "gpt", ... ; empty when none
    std::size_t partitionCount = 0; // the partitions the kernel knows
    // Whether sector 1 holds a GPT header ("EFI PART"), which firmware may
    // take for the disk's table even beside an MBR. Absent when the disk
    // cannot be read by this user.
    std::optional<bool> gptHeader;
};

// One partition as the table and its file system describe it.
struct PartitionLayout {
    std::uint64_t offset = 0;             // bytes from the disk's start (the kernel's view)
    std::optional<unsigned> mbrType;      // the MBR entry's type byte (0x0c)
    std::string fsType;                   // "vfat", ...
    std::string fsVersion;                // "FAT32", "FAT16", ...
    std::string label;
};

DiskLayout readDiskLayout(const BlockTree& tree, const std::string& disk);
PartitionLayout readPartitionLayout(const BlockTree& tree, const std::string& partition);

} // namespace sarnovelle::standin
