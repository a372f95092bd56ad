#include "CliHarness.h"

#include "disks/UsbDisks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sarnovelle::test {

namespace fs = std::filesystem;

namespace {

// A fixed, UTF-8 environment: Qt warns on standard error under a C locale.
std::vector<std::string> childEnvironment()
{
    std::vector<std::string> env = {"LC_ALL=C.UTF-8", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TMPDIR", "TZ"}) {
        if (const char* value = std::getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

void linkOrCopy(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    fs::create_hard_link(from, to, error);
    if (error) {
        fs::copy_file(from, to);
    }
}

} // namespace

CliProcess::CliProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so that a test can signal it as a terminal does.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = childEnvironment();
    const int error = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, pointers(argv).data(),
                                    pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + program);
    }
}

CliProcess::~CliProcess()
{
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
    }
    for (const int fd : {outFd_, errFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool CliProcess::running() const
{
    siginfo_t info{};
    return pid_ > 0 && ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0
           && info.si_pid == 0;
}

bool CliProcess::pump(std::chrono::milliseconds wait)
{
    std::array<pollfd, 2> fds = {pollfd{outFd_, POLLIN, 0}, pollfd{errFd_, POLLIN, 0}};
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (ready <= 0) {
        return ready == 0 || errno == EINTR;
    }
    bool open = false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        int& fd = i == 0 ? outFd_ : errFd_;
        std::string& text = i == 0 ? out_ : err_;
        if (fd < 0) {
            continue;
        }
        if (fds[i].revents != 0) {
            std::array<char, 4096> buffer{};
            const ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got > 0) {
                text.append(buffer.data(), static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fd);
                fd = -1;
                continue;
            }
        }
        open = true;
    }
    return open;
}

bool CliProcess::readUntil(const std::function<bool(const std::string&, const std::string&)>& done,
                           std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(out_, err_)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (outFd_ < 0 && errFd_ < 0)) {
            return done(out_, err_);
        }
        pump(std::min(left, std::chrono::milliseconds(100)));
    }
    return true;
}

void CliProcess::closeOutput()
{
    for (int* fd : {&outFd_, &errFd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

CliResult CliProcess::finish(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (outFd_ >= 0 || errFd_ >= 0 || running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the command line did not end in time; so far:\n" << out_ << err_;
            return CliResult{-1, out_, err_};
        }
        pump(std::chrono::milliseconds(100));
    }
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    CliResult result{-1, out_, err_};
    if (WIFEXITED(raw)) {
        result.status = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        result.status = 128 + WTERMSIG(raw);
        result.killed = true;
    }
    return result;
}

CliTree::CliTree()
{
    const fs::path bin = root() / "bin";
    fs::create_directories(bin);
    // The program finds its disk utility and bundle from its own path, so
    // it runs from this tree rather than from the build's stage.
    linkOrCopy(SARNOVELLE_APP_PROGRAM, bin / "sarnovelle-usb-maker");
    const fs::path diskutil = (bin / SARNOVELLE_REL_DISKUTIL).lexically_normal();
    fake_ = std::make_unique<FakeDiskutil>(diskutil.parent_path());
    fs::create_directories(share());
    fs::copy_file(fs::path(SARNOVELLE_STAGE_SHARE) / "BOOTX64.EFI", share() / "BOOTX64.EFI");
    fs::copy_file(fs::path(SARNOVELLE_STAGE_SHARE) / "Info.plist", share() / "Info.plist");
}

std::string CliTree::program() const { return (root() / "bin" / "sarnovelle-usb-maker").string(); }

fs::path CliTree::share() const { return (root() / "bin" / SARNOVELLE_REL_SHARE).lexically_normal(); }

void CliTree::gate(const std::string& body) const
{
    const fs::path folder = scenario();
    // The fake finds its scenario from the folder of the name it was run by.
    fs::rename(folder / "diskutil", folder / "fake-diskutil");
    const fs::path script = folder / "diskutil";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\ndir=$(dirname \"$0\")\n" << body << "\nexec \"$dir/fake-diskutil\" \"$@\"\n";
    }
    fs::permissions(script, fs::perms::owner_all);
}

CliResult CliTree::run(const std::vector<std::string>& arguments) const
{
    return start(arguments)->finish();
}

std::unique_ptr<CliProcess> CliTree::start(const std::vector<std::string>& arguments) const
{
    return std::make_unique<CliProcess>(program(), arguments);
}

std::vector<std::string> CliTree::invocations() const
{
    std::vector<std::string> lines;
    for (const auto& arguments : fake_->invocations()) {
        std::string line;
        for (const std::string& argument : arguments) {
            line += (line.empty() ? "" : " ") + argument;
        }
        lines.push_back(line);
    }
    return lines;
}

int CliTree::countInvocations(const std::string& line) const
{
    int count = 0;
    for (const std::string& invocation : invocations()) {
        count += invocation == line ? 1 : 0;
    }
    return count;
}

void twoSticks(FakeDiskutil& fake)
{
    fake.listWholeDisks({"disk0", "disk3", "disk4"});
    fake.rootVolume("disk0");
    fake.usbDisk("disk3", "Other stick", 8'000'000'000);
    fake.usbDisk("disk4", "SanDisk Ultra", 16'008'609'792);
    fake.simulateStick({.disk = "disk4"});
}

bool anyPartitioning(const CliTree& tree)
{
    const auto runs = tree.invocations();
    return std::any_of(runs.begin(), runs.end(),
                       [](const std::string& run) { return run.starts_with("partitionDisk"); });
}

std::string labelOf(const std::string& id, const std::string& name, std::uint64_t size)
{
    UsbDisk disk;
    disk.id = id;
    disk.name = name;
    disk.size = size;
    return disk.label();
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace sarnovelle::test
