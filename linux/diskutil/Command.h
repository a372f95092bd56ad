#pragma once

#include "linux/diskutil/Context.h"

#include <string>
#include <vector>

namespace sarnovelle::standin {

// Answers one invocation (`arguments` without the program's name):
//   list -plist external physical
//   info -plist <disk | partition | mount point>
//   partitionDisk /dev/<disk> MBR "MS-DOS FAT32" <name> <N>S "Free Space" none R
//   mount [readOnly] <partition> | unmount <partition> | eject /dev/<disk>
// Answers and progress go to context.out, problems to context.err as one
// line each. Returns the exit status: 0 on success, 1 otherwise.
int runCommand(const Context& context, const std::vector<std::string>& arguments);

} // namespace sarnovelle::standin
