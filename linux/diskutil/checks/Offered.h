#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <cstdint>
#include <string>

namespace sarnovelle::standin {

// The smallest whole disk a stick is made on, 1088 MiB: the application
// offers no smaller disk.
constexpr std::uint64_t smallestStick = 1'140'850'688;

// Whether "list -plist external physical" lists the device: a plain-named
// physical whole disk that is external (USB or removable media).
bool isListedWholeDisk(const BlockTree& tree, const std::string& name);

// "Internal": neither attached by USB nor removable media.
bool isInternal(const BlockTree& tree, const std::string& disk, const std::string& bus);

// Why the application would not offer the device as a stick to erase,
// judged by what list and info answer about it: listed, "BusProtocol"
// USB, not "Internal", "Size" at least smallestStick. Empty when it would
// offer it. The disks of the running system are not looked at here.
std::string whyNotOffered(const BlockTree& tree, const std::string& name);

} // namespace sarnovelle::standin
