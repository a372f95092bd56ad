#include "maker/StickLock.h"

#include "core/MakerError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <filesystem>

namespace sarnovelle {

namespace {

// FNV-1a: the same value in every process of every build.
std::string shortHash(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ULL;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (int shift = 60; shift >= 32; shift -= 4) {
        out += digits[(hash >> shift) & 0xF];
    }
    return out;
}

// Opens the lock file, making it when it is not there. In a folder every
// user may write (sticky, as /run/lock is), the kernel refuses O_CREAT on
// another user's file (protected_regular), so an existing file is opened
// without it; reading is enough for flock.
int openLockFile(const std::string& path)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        const int made = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (made >= 0 || errno != EEXIST) {
            return made;
        }
    }
    return -1;
}

} // namespace

StickLock::StickLock(const UsbDisk& disk, const DiskEnv& env)
{
    const std::string sequence = disk.sequence ? std::to_string(*disk.sequence) : "none";
    path_ = (std::filesystem::path(env.lockFolder)
             / ("sarnovelle-usb-maker-" + disk.id + "-" + sequence + "-" + shortHash(env.diskutil) + ".lock"))
                .string();
    const auto cannotLock = [&](int error) {
        return MakerError("Cannot lock " + disk.id + " for this run (" + path_ + ": "
                          + std::generic_category().message(error) + "); nothing was changed.");
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
            throw cannotLock(errno);
        }
        fd_.reset(fd);
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                throw MakerError("Another run is preparing " + disk.id + "; this one stops before touching it.");
            }
            throw cannotLock(errno);
        }
        // The run before may have removed the file between our open and
        // our lock; a lock on a removed file guards nothing.
        struct stat held {};
        struct stat named {};
        if (::fstat(fd_.get(), &held) == 0 && ::stat(path_.c_str(), &named) == 0 && held.st_dev == named.st_dev
            && held.st_ino == named.st_ino) {
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
