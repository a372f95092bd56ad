#include "maker/StickLock.h"

#include "core/MakerError.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace sarnovelle {

namespace {

std::string errorText(int error) { return std::generic_category().message(error); }

std::string ownerName(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return "user " + std::to_string(uid);
}

std::string kindOf(mode_t mode)
{
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISBLK(mode) || S_ISCHR(mode)) {
        return "a device node";
    }
    return "a file";
}

// Opens the lock file, making it when it is not there. Never blocks: a
// FIFO put in its place opens at once (O_NONBLOCK) and is then refused,
// and a symbolic link is not followed. In a folder every user may write
// (sticky, as /run/lock is), the kernel refuses O_CREAT on another user's
// file (protected_regular), so an existing file is opened without it;
// reading is enough for flock.
int openLockFile(const std::string& path)
{
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), flags);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        const int fresh = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
        if (fresh >= 0 || errno != EEXIST) {
            return fresh;
        }
    }
    return -1;
}

} // namespace

StickLock::StickLock(const UsbDisk& disk, const DiskEnv& env)
{
    // The key is the stick alone, so that every installation on the machine
    // (a package, a build tree) excludes the others.
    const std::string sequence = disk.sequence ? std::to_string(*disk.sequence) : "none";
    path_ = (std::filesystem::path(env.lockFolder) / ("sarnovelle-usb-maker-" + disk.id + "-" + sequence + ".lock"))
                .string();
    const auto refused = [&](const std::string& why) {
        return MakerError("Cannot lock " + disk.id + " for this run: " + path_ + " " + why
                          + "; nothing was changed.");
    };
    const auto cannotLock = [&](int error) { return refused("(" + errorText(error) + ")"); };
    // What stands at the path when it cannot be opened, named with its owner.
    const auto cannotOpen = [&](int error) {
        struct stat there {};
        if (::lstat(path_.c_str(), &there) != 0) {
            return cannotLock(error);
        }
        const std::string owner = ownerName(there.st_uid);
        if (S_ISLNK(there.st_mode)) {
            return refused("is a symbolic link of " + owner + ", not a lock file");
        }
        return refused("cannot be opened (" + errorText(error) + "); it belongs to " + owner);
    };
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = openLockFile(path_);
        if (fd < 0 && errno == ENOENT) {
            // A system without the shared lock folder (a minimal root file
            // system): made as the system makes it.
            std::error_code ignored;
            std::filesystem::create_directories(env.lockFolder, ignored);
            ::chmod(env.lockFolder.c_str(), 01777);
            fd = openLockFile(path_);
        }
        if (fd < 0) {
            throw errno == ENOENT ? cannotLock(ENOENT) : cannotOpen(errno);
        }
        fd_.reset(fd);
        struct stat held {};
        if (::fstat(fd_.get(), &held) != 0) {
            throw cannotLock(errno);
        }
        // Only a plain file of this user or of root is a lock: anything
        // else is what another user put in the way.
        if (!S_ISREG(held.st_mode)) {
            throw refused("is " + kindOf(held.st_mode) + " of " + ownerName(held.st_uid) + ", not a lock file");
        }
        if (held.st_uid != ::geteuid() && held.st_uid != 0) {
            throw refused("belongs to " + ownerName(held.st_uid) + ", not to this user or root");
        }
        // Readable by every user whatever the umask, so that any user's run
        // can lock it.
        if (held.st_uid == ::geteuid() && (held.st_mode & 07777) != 0644) {
            ::fchmod(fd_.get(), 0644);
        }
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                throw MakerError("Another run is preparing " + disk.id + "; this one stops before touching it.");
            }
            throw cannotLock(errno);
        }
        // The run before may have removed the file between our open and
        // our lock; a lock on a removed file guards nothing.
        struct stat named {};
        if (::lstat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return;
        }
    }
    throw cannotLock(EAGAIN);
}

StickLock::~StickLock()
{
    // Removed while still held, so that no one locks it in between; in a
    // sticky folder only its owner may remove it, and then it stays.
    ::unlink(path_.c_str());
}

} // namespace sarnovelle
