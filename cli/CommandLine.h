#pragma once

#include "core/Diskutil.h"

#include <filesystem>
#include <string>
#include <vector>

namespace sarnovelle::cli {

// What the entry point hands the command line.
struct Environment {
    std::filesystem::path image;     // the shipped boot image
    std::filesystem::path infoPlist; // its information dictionary (expected SHA-256)
    std::string version;
    DiskEnv disks{};                 // where disk commands go
};

// True when the arguments (argv[1] on) ask for the command line rather
// than the window.
bool wantsCommandLine(int argc, const char* const* argv);

// Runs `sarnovelle-usb-maker <arguments>` in the terminal and returns the
// exit status: 0 done, 1 the listing or a run failed, 2 refused, unknown
// disk or usage error (nothing erased), 128 + the signal's number when
// interrupted.
int runCommandLine(const std::vector<std::string>& arguments, const Environment& environment);

} // namespace sarnovelle::cli
