#pragma once

#include "core/ToolRunner.h"
#include "core/UniqueFd.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sarnovelle::test {

// The program `name` as found along PATH; empty when it is not there.
std::filesystem::path inPath(const std::string& name);

// Runs `name` (looked up along PATH) with `arguments` to its end.
ToolResult runProgram(const std::string& name, const std::vector<std::string>& arguments);

// A program started in the background with extra environment variables;
// ended with SIGTERM (then SIGKILL) and reaped when the object goes.
class RunningProgram {
public:
    RunningProgram(const std::filesystem::path& program, const std::map<std::string, std::string>& environment);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // True while the process has not ended.
    bool running();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Names of the files the kernel reports opened or read in a few folders
// (inotify), from the moment the watch starts.
class FolderWatch {
public:
    explicit FolderWatch(const std::vector<std::filesystem::path>& folders);

    // Collects events until every path in `wanted` has been seen or
    // `limit` has passed; returns every path seen so far.
    std::set<std::filesystem::path> waitFor(const std::set<std::filesystem::path>& wanted,
                                            std::chrono::milliseconds limit);

private:
    UniqueFd fd_;
    std::map<int, std::filesystem::path> folders_;
    std::set<std::filesystem::path> seen_;
};

} // namespace sarnovelle::test
