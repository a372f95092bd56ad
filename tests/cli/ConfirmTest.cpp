// The typed confirmation on a real pseudo-terminal: the program shows the
// labels and erases only when the ids come back.
#include "CliHarness.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

namespace sarnovelle::test {
namespace {

// The program on the slave side of a pseudo-terminal: standard input,
// output and error all on the terminal, as in an interactive shell.
class TerminalRun {
public:
    TerminalRun(const std::string& program, const std::vector<std::string>& arguments)
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
    ~TerminalRun()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    // Reads until `text` has appeared (true) or the terminal closed or the
    // time ran out (false).
    bool readUntil(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!contains(screen_, text)) {
            if (std::chrono::steady_clock::now() > deadline || !readSome()) {
                return contains(screen_, text);
            }
        }
        return true;
    }

    void type(const std::string& keys)
    {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Everything to the end, then the exit status.
    int finish()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline && readSome()) {
        }
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
        pid_ = -1;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    const std::string& screen() const { return screen_; }

private:
    // False once the program closed its side of the terminal.
    bool readSome()
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

    pid_t pid_ = -1;
    int master_ = -1;
    std::string screen_;
};

TEST(CliConfirm, TypingTheIdBackErasesTheDisk)
{
    CliTree tree;
    twoSticks(tree.fake());
    TerminalRun run(tree.program(), {"--make", "disk4"});
    ASSERT_TRUE(run.readUntil("and press Return:")) << run.screen();
    // The label stands alone, as in the window's confirmation.
    EXPECT_TRUE(contains(run.screen(), "ALL data on this USB disk will be erased:\r\n\r\n  "
                                           + labelOf("disk4", "SanDisk Ultra", 16'008'609'792) + "\r\n\r\n"))
        << run.screen();
    EXPECT_TRUE(contains(run.screen(), "type the disk's id (disk4)")) << run.screen();
    EXPECT_FALSE(anyPartitioning(tree)) << "erased before the answer";

    run.type("disk4\n");
    EXPECT_EQ(run.finish(), 0) << run.screen();
    EXPECT_TRUE(contains(run.screen(), "  DONE. The USB is ready. You can remove it.")) << run.screen();
    EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), 1);
}

TEST(CliConfirm, ASecondDiskIsConfirmedOnlyByTypingBothIds)
{
    CliTree tree;
    twoSticks(tree.fake());
    // Typed answers that are not exactly the ids; each refuses.
    for (const std::string answer : {"disk3\n", "disk4\n", "disk4 disk3 disk3\n", "yes\n", "\x04"}) {
        TerminalRun run(tree.program(), {"--make", "disk4", "disk3"});
        ASSERT_TRUE(run.readUntil("and press Return:")) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "ALL data on these USB disks will be erased:")) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "  " + labelOf("disk3", "Other stick", 8'000'000'000))) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "type the disks' ids (disk4 disk3)")) << run.screen();
        run.type(answer);
        EXPECT_EQ(run.finish(), 2) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "Not confirmed. Nothing was erased.")) << run.screen();
    }
    EXPECT_FALSE(anyPartitioning(tree));

    // Both ids in another order: both disks are erased.
    TerminalRun run(tree.program(), {"--make", "disk4", "disk3"});
    ASSERT_TRUE(run.readUntil("and press Return:")) << run.screen();
    run.type("disk3 disk4\n");
    EXPECT_EQ(run.finish(), 1) << run.screen(); // disk3 is no simulated stick
    const std::string arguments = " MBR MS-DOS FAT32 SARNOVELLE 2097152S Free Space none R";
    EXPECT_EQ(tree.countInvocations("partitionDisk /dev/disk4" + arguments), 1);
    EXPECT_EQ(tree.countInvocations("partitionDisk /dev/disk3" + arguments), 1);
}

} // namespace
} // namespace sarnovelle::test
