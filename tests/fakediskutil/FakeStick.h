#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sarnovelle::fake {

// What the fake prints and the status it exits with.
struct Reply {
    std::string output;
    int status = 0;
};

// The simulated stick of a scenario (its "stick" folder): answers
// partitionDisk, unmount, mount, eject and the partition's info query for
// the configured disk. Absent for any other command.
std::optional<Reply> simulateStick(const std::filesystem::path& scenario, const std::vector<std::string>& arguments);

} // namespace sarnovelle::fake
