#include "Processes.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace sarnovelle::test {

std::filesystem::path inPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const auto candidate = std::filesystem::path(folder.empty() ? "." : folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

ToolResult runProgram(const std::string& name, const std::vector<std::string>& arguments)
{
    const auto program = inPath(name);
    if (program.empty()) {
        ToolResult missing;
        const std::string text = name + " is not installed";
        missing.output.assign(text.begin(), text.end());
        return missing;
    }
    return runTool(program.string(), arguments);
}

RunningProgram::RunningProgram(const std::filesystem::path& program,
                               const std::map<std::string, std::string>& environment)
{
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [key, value] : environment) {
        merged[key] = value;
    }
    std::vector<std::string> texts;
    for (const auto& [key, value] : merged) {
        texts.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& text : texts) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    const int error = ::posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, envp.data());
    if (error != 0) {
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
    }
}

bool RunningProgram::running()
{
    if (reaped_) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
    }
    return !reaped_;
}

RunningProgram::~RunningProgram()
{
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 50 && running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (running()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

FolderWatch::FolderWatch(const std::vector<std::filesystem::path>& folders)
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (!fd_) {
        throw std::runtime_error(std::string("inotify_init1: ") + std::strerror(errno));
    }
    for (const auto& folder : folders) {
        const int watch = ::inotify_add_watch(fd_.get(), folder.c_str(), IN_OPEN | IN_ACCESS);
        if (watch < 0) {
            throw std::runtime_error("cannot watch " + folder.string() + ": " + std::strerror(errno));
        }
        folders_[watch] = folder;
    }
}

std::set<std::filesystem::path> FolderWatch::waitFor(const std::set<std::filesystem::path>& wanted,
                                                     std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto allSeen = [&] {
        for (const auto& path : wanted) {
            if (seen_.count(path) == 0) {
                return false;
            }
        }
        return true;
    };
    alignas(inotify_event) char buffer[4096];
    while (!allSeen()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd ready{fd_.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t length = ::read(fd_.get(), buffer, sizeof buffer);
        for (ssize_t at = 0; length > 0 && at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && folders_.count(event->wd) != 0) {
                seen_.insert(folders_[event->wd] / event->name);
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return seen_;
}

} // namespace sarnovelle::test
