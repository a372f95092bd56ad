#pragma once

#include "core/Config.h"
#include "core/Plist.h"

#include <optional>
#include <string>
#include <vector>

namespace sarnovelle {

// Where the disk-level operations find the platform: the disk utility's
// path, the root of the kernel's device tree (Linux) and the folder where
// runs lock the sticks they work on (every user may write there).
// Production code uses the defaults; tests point them at fakes.
struct DiskEnv {
    std::string diskutil = Config::diskutil();
    std::string sysfsRoot = "/sys";
#ifdef __APPLE__
    std::string lockFolder = "/tmp";
#else
    std::string lockFolder = "/run/lock";
#endif
};

// Runs the disk utility with `arguments` (which ask for "-plist") and
// returns its answer when it exits with 0 and prints a property list whose
// top level is a dictionary; absent otherwise. Nothing is logged.
std::optional<PlistDict> diskutilPlist(const DiskEnv& env, const std::vector<std::string>& arguments);

} // namespace sarnovelle
