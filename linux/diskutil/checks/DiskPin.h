#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sarnovelle::standin {

// The disk a changing verb started on, by its disk sequence number (the
// kernel's "diskseq", new for every disk attached; Linux 5.15 and later).
// The verbs work by kernel name, and a stick pulled and another plugged
// in meanwhile would take that name: each call that changes the disk is
// preceded by check(), which ends the verb when the name now stands for
// another disk, leaving that disk as it is. Without "diskseq" (an older
// kernel) only a disk that is gone is noticed.
class DiskPin {
public:
    DiskPin(const BlockTree& tree, std::string disk, std::string verb);

    // Throws MakerError when the disk is gone or is another disk now.
    void check() const;
    // The same for an open descriptor of the disk (or of a partition of it).
    void check(int fd) const;

    const std::string& disk() const { return disk_; }

private:
    [[noreturn]] void changed() const;

    BlockTree tree_;
    std::string disk_;
    std::string verb_;
    std::optional<std::uint64_t> sequence_;
};

} // namespace sarnovelle::standin
