#pragma once

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

} // namespace sarnovelle::standin
