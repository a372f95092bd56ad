#pragma once

#include "core/Plist.h"
#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/Context.h"

#include <string>

namespace sarnovelle::standin {

// "list -plist external physical": "WholeDisks", the external physical
// whole disks in the order of their device numbers.
PlistDict listAnswer(const Context& context);

// "info -plist <argument>": a whole disk, a partition ("sdb1" or "sdbs1")
// or a mount point ("/"). Throws MakerError when there is no such disk.
PlistDict infoAnswer(const Context& context, const std::string& argument);

} // namespace sarnovelle::standin
