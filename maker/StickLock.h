#pragma once

#include "core/Diskutil.h"
#include "core/UniqueFd.h"
#include "disks/UsbDisks.h"

#include <string>

namespace sarnovelle {

// One run per stick: the lock of the chosen stick, held from the run's
// start to its end by the window and the command line alike. It is an
// advisory lock (flock) on a file in env.lockFolder named after the stick
// as the disk utility names it in this attach (identifier and disk
// sequence number, nothing of the installation), so it goes with the
// process however it ends and every installation on the machine excludes
// the others. Only a regular file of this user or of root is taken; it is
// opened without blocking and made readable by every user.
class StickLock {
public:
    // Throws MakerError when another run holds the stick's lock, or when
    // the lock cannot be taken at all (nothing is touched then either): a
    // lock file that is not this user's or root's regular file is named
    // with its owner.
    StickLock(const UsbDisk& disk, const DiskEnv& env);
    ~StickLock();
    StickLock(const StickLock&) = delete;
    StickLock& operator=(const StickLock&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    UniqueFd fd_;
};

} // namespace sarnovelle
