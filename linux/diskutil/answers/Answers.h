#pragma once

#include "core/Plist.h"
#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/Context.h"

#include <cstdint>
#include <string>

namespace sarnovelle::standin {

// The smallest whole disk a stick is made on, 1088 MiB: the application
// offers no smaller disk.
constexpr std::uint64_t smallestStick = 1'140'850'688;

// Whether "list -plist external physical" lists the device: a plain-named
// physical whole disk that is external (USB or removable media).
bool isListedWholeDisk(const BlockTree& tree, const std::string& name);

// Why the application would not offer the device as a stick to erase,
// judged by what list and info answer about it: listed, "BusProtocol"
// USB, not "Internal", "Size" at least smallestStick. Empty when it would
// offer it. The disks of the running system are not looked at here.
std::string whyNotOffered(const BlockTree& tree, const std::string& name);

// "list -plist external physical": "WholeDisks", the external physical
// whole disks in the order of their device numbers.
PlistDict listAnswer(const Context& context);

// "info -plist <argument>": a whole disk, a partition ("sdb1" or "sdbs1")
// or a mount point ("/"). Throws MakerError when there is no such disk.
PlistDict infoAnswer(const Context& context, const std::string& argument);

} // namespace sarnovelle::standin
