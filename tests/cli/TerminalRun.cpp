#include "TerminalRun.h"

#include "CliHarness.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

namespace sarnovelle::test {

TerminalRun::TerminalRun(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    std::string locale = "LC_ALL=C.UTF-8";
    std::array<char*, 2> env = {locale.data(), nullptr};
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
        ::execve(program.c_str(), pointers.data(), env.data());
        ::_exit(127);
    }
    if (pid_ < 0) {
        throw std::runtime_error("forkpty failed");
    }
}

TerminalRun::~TerminalRun()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool TerminalRun::readUntil(const std::string& text, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!contains(screen_, text)) {
        if (std::chrono::steady_clock::now() > deadline || !readSome()) {
            return contains(screen_, text);
        }
    }
    return true;
}

void TerminalRun::type(const std::string& keys)
{
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

int TerminalRun::finish()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && readSome()) {
    }
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

bool TerminalRun::readSome()
{
    pollfd fd{master_, POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) {
        return true;
    }
    std::array<char, 4096> buffer{};
    const ssize_t got = ::read(master_, buffer.data(), buffer.size());
    if (got > 0) {
        screen_.append(buffer.data(), static_cast<std::size_t>(got));
        return true;
    }
    return got < 0 && errno == EINTR; // EIO: the slave side is gone
}

} // namespace sarnovelle::test
