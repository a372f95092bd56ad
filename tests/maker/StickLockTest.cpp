// The stick's lock file in a folder every user may write: whatever another
// user puts at its path, a run never blocks, takes only a regular file of
// its own user or of root, and names what it refuses with its owner. Each
// run is a child process, so that one that blocked is caught and ended.

#include "TempDir.h"

#include "core/MakerError.h"
#include "maker/StickLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t otherUid = 65534;

// Takes the lock in a child process (as `uid`, under umask 077) and returns
// what it said: "taken <mode of the file while held>" or the refusal; ""
// when it blocked and its alarm ended it.
std::string lockInChild(const UsbDisk& disk, const DiskEnv& env, uid_t uid)
{
    int ends[2];
    if (::pipe(ends) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(5);
        ::umask(077);
        std::string said = "setuid failed";
        if (uid == ::geteuid() || (::setgroups(0, nullptr) == 0 && ::setgid(uid) == 0 && ::setuid(uid) == 0)) {
            try {
                const StickLock lock(disk, env);
                struct stat info {};
                ::stat(lock.path().c_str(), &info);
                std::ostringstream mode;
                mode << "taken " << std::oct << (info.st_mode & 07777);
                said = mode.str();
            } catch (const MakerError& error) {
                said = error.message();
            }
        }
        ::_exit(::write(ends[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    ::close(ends[1]);
    std::string said(4096, '\0');
    const ssize_t got = child > 0 ? ::read(ends[0], said.data(), said.size()) : -1;
    said.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    ::waitpid(child, nullptr, 0);
    ::close(ends[0]);
    return said;
}

TEST(StickLock, NoLockFileAnotherUserCanPutInItsPlaceBlocksOrJamsARun)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "files of other users are made as root";
    }
    TempDir dir;
    const fs::path folder = dir / "lock";
    fs::create_directories(folder);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(folder.c_str(), 01777);
    UsbDisk disk{"sdb", "", 0, ""};
    disk.sequence = 41;
    DiskEnv env;
    env.lockFolder = folder.string();
    env.diskutil = "/usr/libexec/sarnovelle-usb-maker/diskutil";
    // The key is the stick alone, whatever the installation.
    const fs::path path = folder / "sarnovelle-usb-maker-sdb-41.lock";
    const passwd* otherEntry = ::getpwuid(otherUid);
    ASSERT_NE(otherEntry, nullptr);
    const std::string other = otherEntry->pw_name;
    const auto refused = [&](const std::string& why) {
        return "Cannot lock sdb for this run: " + path.string() + " " + why + "; nothing was changed.";
    };
    const auto plainFile = [&](uid_t owner, mode_t mode) {
        std::ofstream(path) << "";
        ASSERT_EQ(::chown(path.c_str(), owner, owner), 0);
        ::chmod(path.c_str(), mode);
    };
    UniqueFd held;

    struct Row {
        const char* what;
        std::function<void()> put; // what stands at the path before the run
        uid_t caller;
        std::string said;
    };
    const std::vector<Row> rows{
        {"no file yet, the run under umask 077", [] {}, 0, "taken 644"},
        {"the stale file of a finished run, left with mode 600", [&] { plainFile(0, 0600); }, 0, "taken 644"},
        {"root's stale file, taken by an ordinary user", [&] { plainFile(0, 0644); }, otherUid, "taken 644"},
        {"a FIFO of another user", [&] {
             ::mkfifo(path.c_str(), 0666);
             ASSERT_EQ(::chown(path.c_str(), otherUid, otherUid), 0);
         },
         0, refused("is a FIFO of " + other + ", not a lock file")},
        {"another user's file", [&] { plainFile(otherUid, 0644); }, 0,
         refused("belongs to " + other + ", not to this user or root")},
        {"root's file with mode 000, for an ordinary user", [&] { plainFile(0, 0); }, otherUid,
         refused("cannot be opened (Permission denied); it belongs to root")},
        {"a symbolic link of another user", [&] {
             fs::create_symlink("/etc/passwd", path);
             ASSERT_EQ(::lchown(path.c_str(), otherUid, otherUid), 0);
         },
         0, refused("is a symbolic link of " + other + ", not a lock file")},
        {"the lock held by a run of another installation", [&] {
             plainFile(0, 0644);
             held.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
             ::flock(held.get(), LOCK_EX);
         },
         0, "Another run is preparing sdb; this one stops before touching it."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::error_code ignored;
        fs::remove(path, ignored);
        held.reset();
        row.put();
        EXPECT_EQ(lockInChild(disk, env, row.caller), row.said) << "(\"\": the run blocked)";
    }
}

} // namespace
} // namespace sarnovelle::test
