#pragma once

#include "core/Diskutil.h"
#include "core/UniqueFd.h"
#include "disks/UsbDisks.h"

#include <string>

namespace sarnovelle {

// One run per stick: the lock of the chosen stick, held from the run's
// start to its end by the window and the command line alike. It is an
// advisory lock (flock) on a file in env.lockFolder named after the stick
// as the disk utility names it in this attach (identifier, disk sequence
// number, disk utility), so it goes with the process however it ends.
class StickLock {
public:
    // Throws MakerError when another run holds the stick's lock, or when
    // the lock cannot be taken at all (nothing is touched then either).
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
