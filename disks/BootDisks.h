#pragma once

#include "core/Diskutil.h"

#include <optional>
#include <set>
#include <string>

namespace sarnovelle {

// The whole disk holding `identifier` (a disk, partition or volume), or
// absent.
std::optional<std::string> parentWholeDisk(const DiskEnv& env, const std::string& identifier);

// The whole disks that hold the running system. Never fails: problems only
// leave disks out.
std::set<std::string> bootDisks(const DiskEnv& env);

} // namespace sarnovelle
