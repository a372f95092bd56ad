#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <optional>
#include <string>

namespace sarnovelle::standin {

// One property of udev's record of the device (b<major>:<minor> in
// Roots::udevData, lines "E:ID_FS_TYPE=zfs_member"), which any user may
// read; empty when the record or the property is missing.
std::string udevProperty(const BlockTree& tree, const std::string& device, const std::string& key);

// The name of the ZFS pool the device is a member of (empty when the
// member names none), or nothing when it is no member. udev's record
// answers; without one, libblkid reads the device, which only root can.
std::optional<std::string> zfsPoolOfMember(const BlockTree& tree, const std::string& device);

} // namespace sarnovelle::standin
