#pragma once

#include "core/Diskutil.h"

#include <chrono>
#include <string>

namespace sarnovelle {

inline constexpr int mountWaitQueries = 30;
inline constexpr std::chrono::milliseconds mountWaitPause{500};

// Polls the disk utility until `partition` is mounted as "msdos" with a
// mount point and returns that mount point unchanged. Throws MakerError
// after mountWaitQueries unsuccessful queries.
std::string waitForMount(const DiskEnv& env, const std::string& partition);

} // namespace sarnovelle
