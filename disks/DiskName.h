#pragma once

#include <string>
#include <string_view>

namespace sarnovelle {

// True for a plain disk name such as "disk4": ASCII letters and digits
// only, not empty. Identifiers are glued into "/dev/" paths, disk utility
// arguments and sysfs paths, so nothing else is accepted.
bool isPlainDiskName(std::string_view identifier);

// The identifier of partition 1 of a whole disk, as the platform names it:
// on macOS the whole disk's identifier followed by "s1" (disk4s1); on Linux
// the kernel's name, "p1" after a name ending in a digit (nvme0n1p1,
// mmcblk0p1), "1" otherwise (sdb1).
std::string firstPartitionId(const std::string& wholeDisk);

} // namespace sarnovelle
