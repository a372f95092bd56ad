#include "core/ToolRunner.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>

#include <signal.h>
#include <thread>

namespace sarnovelle {
namespace {

using test::TempDir;

std::string run(const std::filesystem::path& script, const std::vector<std::string>& args, int* status)
{
    const ToolResult result = runTool(script.string(), args);
    *status = result.status;
    return std::string(result.output.begin(), result.output.end());
}

int openDescriptors()
{
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

TEST(RunTool, InterleavesStdoutAndStderrInWriteOrder)
{
    TempDir dir;
    const auto script = dir.script("mixed.sh", "echo one; echo two >&2; echo three; echo four >&2\n");
    int status = -2;
    EXPECT_EQ(run(script, {}, &status), "one\ntwo\nthree\nfour\n");
    EXPECT_EQ(status, 0);
}

TEST(RunTool, PassesArgumentsVerbatimWithoutAShell)
{
    TempDir dir;
    const auto script = dir.script("args.sh", "for a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    int status = -2;
    EXPECT_EQ(run(script, {"Free Space", "$HOME", "*", "", "a;b"}, &status), "[Free Space][$HOME][*][][a;b]");
    EXPECT_EQ(status, 0);
}

TEST(RunTool, ReadsEverythingOfALargeOutputBeforeWaiting)
{
    TempDir dir;
    // 8 MiB, far beyond a pipe's buffer.
    const auto script = dir.script("big.sh", "head -c 8388608 /dev/zero | tr '\\0' x\n");
    const ToolResult result = runTool(script.string(), {});
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.output.size(), 8388608u);
    EXPECT_EQ(result.output.front(), 'x');
    EXPECT_EQ(result.output.back(), 'x');
}

TEST(RunTool, ReportsExitStatuses)
{
    TempDir dir;
    for (const int code : {0, 1, 255}) {
        const auto script = dir.script("exit" + std::to_string(code) + ".sh", "echo out\nexit " + std::to_string(code) + "\n");
        int status = -2;
        EXPECT_EQ(run(script, {}, &status), "out\n");
        EXPECT_EQ(status, code);
    }
}

TEST(RunTool, ReportsTheSignalThatEndedTheChild)
{
    TempDir dir;
    const auto script = dir.script("killed.sh", "echo before\nkill -9 $$\necho after\n");
    int status = -2;
    EXPECT_EQ(run(script, {}, &status), "before\n");
    EXPECT_EQ(status, SIGKILL);
}

TEST(RunTool, EmptyOutput)
{
    TempDir dir;
    const auto script = dir.script("quiet.sh", "exit 0\n");
    const ToolResult result = runTool(script.string(), {});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.output.empty());
    EXPECT_EQ(result.text(), "");
    int lines = 0;
    logTool(result, [&](const std::string&) { ++lines; });
    EXPECT_EQ(lines, 0);
}

TEST(RunTool, NonUtf8BytesAreReplacedInText)
{
    TempDir dir;
    const auto script = dir.script("bytes.sh", "printf 'abc\\377def'\n");
    const ToolResult result = runTool(script.string(), {});
    EXPECT_EQ(result.output.size(), 7u);
    EXPECT_EQ(result.text(), "abc\xEF\xBF\xBD" "def");
}

TEST(RunTool, MissingOrNonExecutableProgramIsStatusMinusOne)
{
    TempDir dir;
    const auto missing = (dir / "no-such-tool").string();
    const ToolResult result = runTool(missing, {"info"});
    EXPECT_EQ(result.status, -1);
    EXPECT_NE(result.text().find(missing), std::string::npos) << result.text();
    EXPECT_NE(result.text().find("No such file or directory"), std::string::npos) << result.text();

    std::vector<std::string> lines;
    logTool(result, [&](const std::string& line) { lines.push_back(line); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "  diskutil: " + result.text());

    const auto plain = dir.write("not-executable", "#!/bin/sh\necho hi\n");
    const ToolResult denied = runTool(plain.string(), {});
    EXPECT_EQ(denied.status, -1);
    EXPECT_NE(denied.text().find("Permission denied"), std::string::npos) << denied.text();
}

TEST(RunTool, LeavesNoDescriptorsAndNoZombies)
{
    TempDir dir;
    const auto script = dir.script("ok.sh", "echo hi\n");
    const int before = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        runTool(script.string(), {});
        runTool((dir / "missing").string(), {});
    }
    EXPECT_EQ(openDescriptors(), before);
    // Every child has been reaped: there is none left to wait for.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(RunTool, TwoThreadsAtOnceDoNotShareOutput)
{
    TempDir dir;
    // The slow child must not keep the fast child's pipe open: each
    // thread's run ends when its own child ends.
    const auto slow = dir.script("slow.sh", "for i in 1 2 3 4 5 6 7 8 9 10; do echo slow; done; sleep 1\n");
    const auto fast = dir.script("fast.sh", "echo fast\n");
    std::string slowOut;
    std::thread other([&] {
        for (int i = 0; i < 3; ++i) {
            const auto r = runTool(slow.string(), {});
            slowOut = std::string(r.output.begin(), r.output.end());
        }
    });
    for (int i = 0; i < 200; ++i) {
        const auto r = runTool(fast.string(), {});
        ASSERT_EQ(std::string(r.output.begin(), r.output.end()), "fast\n");
    }
    other.join();
    std::string expected;
    for (int i = 0; i < 10; ++i) {
        expected += "slow\n";
    }
    EXPECT_EQ(slowOut, expected);
}

} // namespace
} // namespace sarnovelle
