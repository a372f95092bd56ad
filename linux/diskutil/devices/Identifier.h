#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <string>
#include <string_view>

namespace sarnovelle::standin {

// A plain block-device name: letters, digits, "-" and "_" only, not
// starting with "-", at most 64 characters. Nothing that could name a
// path ("/", "..", blanks) passes.
bool isPlainName(std::string_view name);

// The identifier in an argument ("sdb", "/dev/sdb", "sdbs1"): the
// argument without a leading "/dev/", when that is a plain name. Throws
// MakerError with a one-line message otherwise.
std::string identifierArgument(std::string_view argument);

// The kernel name of the device an identifier stands for. "<disk>s<N>",
// where <disk> is a whole disk, is partition N of that disk (sdbs1 -> sdb1,
// nvme0n1s1 -> nvme0n1p1), even when the kernel has a device called so
// (sdas1, partition 1 of sdas, beside sda); when <disk> has no partition N
// but the kernel has such a device, the name is ambiguous and refused.
// Any other identifier is the kernel's own name. Throws MakerError
// ("Could not find disk: <identifier>" when there is no such device).
std::string resolveDevice(const BlockTree& tree, const std::string& identifier);

// The argument made safe to quote in a one-line message.
std::string printable(std::string_view text);

} // namespace sarnovelle::standin
