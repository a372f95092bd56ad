#pragma once

#include "linux/diskutil/Context.h"
#include "linux/diskutil/devices/BlockTree.h"

#include <string>

namespace sarnovelle::standin {

// Whether the kernel marks the device read-only (its sysfs "ro" is 1): a
// stick whose lock switch is on, a card with its tab slid to "lock", a
// device set read-only with blockdev --setro. The kernel reads the switch
// again when the medium is attached, so a stick unlocked and plugged in
// again is writable.
bool isWriteProtected(const BlockTree& tree, const std::string& name);

// For the verbs that write to a stick (partitionDisk, a read-write mount):
// refuses `target` when it or its whole disk is write-protected, with one
// line naming the device, before anything is touched. Unmount and eject
// write nothing and do not ask.
void refuseWriteProtected(const Context& context, const std::string& target, const std::string& verb);

} // namespace sarnovelle::standin
