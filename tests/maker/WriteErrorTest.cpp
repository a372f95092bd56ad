// Write failures that ordinary files cannot produce, made by the kernel
// itself: in a child process, a seccomp filter makes every write(2) to the
// file's descriptor return a chosen result, and the child reports the
// message of writeFile through a pipe.

#include "TempDir.h"

#include "core/MakerError.h"
#include "core/UniqueFd.h"
#include "maker/FileIo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace sarnovelle::test {
namespace {

// Makes write(2) on descriptor `fd` return `-errorNumber` (0 for none: the
// call then "writes" nothing) without touching the file. Every other call
// and descriptor go on as usual.
bool failWritesTo(int fd, unsigned errorNumber)
{
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (errorNumber & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
           && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) == 0;
}

// The message of writeFile(path, `size` bytes) in a child whose writes to
// the file's descriptor return what failWritesTo makes them return.
// "(skip)" when the kernel takes no filter here.
std::string messageWithWritesFailing(const std::string& path, std::size_t size, unsigned errorNumber)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return "(no pipe)";
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        readEnd.reset();
        // writeFile's open takes the lowest free descriptor.
        const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(next);
        std::string message = "(skip)";
        if (failWritesTo(next, errorNumber)) {
            // A stale error number that a careless message would show.
            errno = 0;
            try {
                writeFile(path, Bytes(size, 0x5A));
                message = "(no error)";
            } catch (const MakerError& error) {
                message = error.message();
            }
        }
        const ssize_t sent = ::write(writeEnd.get(), message.data(), message.size());
        ::_exit(sent == static_cast<ssize_t>(message.size()) ? 0 : 1);
    }
    writeEnd.reset();
    std::string message;
    char buffer[512];
    for (ssize_t count; (count = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) {
        message.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended with " << status;
    return message;
}

// A write that takes no bytes has no error number of its own: the message
// carries the text of an I/O error, never "Success", on the cached path
// (a few bytes) and on the block path (whole blocks) alike.
TEST(WriteFile, AWriteOfNoBytesIsAnIoError)
{
    TempDir dir;
    const std::string file = (dir / "BOOTX64.EFI").string();
    for (const std::size_t size : {std::size_t{3584}, std::size_t{3 * 4096}}) {
        const std::string message = messageWithWritesFailing(file, size, 0);
        if (message == "(skip)") {
            GTEST_SKIP() << "no seccomp filters in this environment";
        }
        EXPECT_EQ(message, "Write to " + file + " failed: Input/output error") << size << " bytes";
    }
}

// The error number of the failing write itself is the one shown.
TEST(WriteFile, AFailedWriteShowsItsOwnError)
{
    TempDir dir;
    const std::string file = (dir / "BOOTX64.EFI").string();
    for (const std::size_t size : {std::size_t{3584}, std::size_t{3 * 4096}}) {
        const std::string message = messageWithWritesFailing(file, size, ENOSPC);
        if (message == "(skip)") {
            GTEST_SKIP() << "no seccomp filters in this environment";
        }
        EXPECT_EQ(message, "Write to " + file + " failed: No space left on device") << size << " bytes";
    }
}

} // namespace
} // namespace sarnovelle::test
