#pragma once

#include "linux/diskutil/Context.h"
#include "linux/diskutil/PartitionRequest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sarnovelle::standin {

// "partitionDisk /dev/<disk> MBR "MS-DOS FAT32" <label> <N>S "Free Space" none R"
// (`arguments` without the command word): erases the whole disk, writes an
// MBR with one FAT32 partition (type 0x0C) of N 512-byte sectors at 1 MiB,
// the rest left free, formats it with the label and mounts it. Prints one
// line per step; throws MakerError on any other shape and on failure.
int partitionCommand(const Context& context, const std::vector<std::string>& arguments);
// The same for a request already checked; needs root.
int partitionWithKernel(const Context& context, const PartitionRequest& request);

} // namespace sarnovelle::standin
