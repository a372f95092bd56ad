#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <map>
#include <optional>
#include <string>

namespace sarnovelle::standin {

// The properties of udev's record of the device ("E:<key>=<value>" lines
// of b<major>:<minor> in Roots::udevData); empty when it has none.
std::map<std::string, std::string> udevRecord(const BlockTree& tree, const std::string& device);

// The name of the ZFS pool the device is a member of (empty when the
// member names none), or nothing when it is no member. udev's record
// (b<major>:<minor> in Roots::udevData, which any user may read) answers;
// without one, libblkid reads the device, which only root can.
std::optional<std::string> zfsPoolOfMember(const BlockTree& tree, const std::string& device);

} // namespace sarnovelle::standin
