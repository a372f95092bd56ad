#pragma once

#include "linux/diskutil/Context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sarnovelle::standin {

// Where the one partition starts: sector 2048 of 512 bytes.
inline constexpr std::uint64_t partitionStartBytes = 1 << 20;

// What partitionDisk is asked for: the disk's identifier (without
// "/dev/"), the volume name in capitals and the partition's size in
// 512-byte sectors.
struct PartitionRequest {
    std::string disk;
    std::string label;
    std::uint64_t sectors = 0;
};

// Checks the arguments after the command word (the one supported shape,
// the volume name, the size); throws MakerError with the user's line.
PartitionRequest parsePartitionRequest(const std::vector<std::string>& arguments);

// "partitionDisk /dev/<disk> MBR "MS-DOS FAT32" <label> <N>S "Free Space" none R"
// (`arguments` without the command word): erases the whole disk, writes an
// MBR with one FAT32 partition (type 0x0C) of N 512-byte sectors at 1 MiB,
// the rest left free, formats it with the label and mounts it. Prints one
// line per step; throws MakerError on any other shape and on failure.
int partitionCommand(const Context& context, const std::vector<std::string>& arguments);
// The same for a request already checked; needs root.
int partitionWithKernel(const Context& context, const PartitionRequest& request);

} // namespace sarnovelle::standin
