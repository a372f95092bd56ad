#pragma once

#include "core/Diskutil.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace sarnovelle {

// The failure of bootDisks when the root volume cannot be queried.
inline constexpr std::string_view rootQueryFailed =
    "The running system's disk cannot be found (diskutil info / failed).";

// The whole disk holding `identifier` (a disk, partition or volume), or
// absent.
std::optional<std::string> parentWholeDisk(const DiskEnv& env, const std::string& identifier);

// The whole disks that hold the running system. Throws
// MakerError(rootQueryFailed) when the root volume itself cannot be
// queried; any other problem (a physical store's query, a missing key)
// only leaves that disk out.
std::set<std::string> bootDisks(const DiskEnv& env);

} // namespace sarnovelle
