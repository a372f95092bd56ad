#pragma once

#include <optional>
#include <string>

namespace sarnovelle::standin {

// The absolute path of a system program (mkfs.fat), looked for in /usr/sbin,
// /sbin, /usr/bin and /bin in that order; absent when none is executable.
std::optional<std::string> findHelper(const std::string& program);

} // namespace sarnovelle::standin
