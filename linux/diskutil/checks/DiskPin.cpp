#include "linux/diskutil/checks/DiskPin.h"

#include "core/MakerError.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

#include <charconv>

namespace sarnovelle::standin {

namespace {

std::optional<std::uint64_t> sequenceOf(const BlockTree& tree, const std::string& disk)
{
    const auto text = tree.attribute(disk, "diskseq");
    std::uint64_t value = 0;
    if (!text || std::from_chars(text->data(), text->data() + text->size(), value).ec != std::errc()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

DiskPin::DiskPin(const BlockTree& tree, std::string disk, std::string verb)
    : tree_(tree), disk_(std::move(disk)), verb_(std::move(verb)), sequence_(sequenceOf(tree_, disk_))
{
}

void DiskPin::changed() const
{
    throw MakerError(verb_ + " stopped: " + disk_ + " was pulled or replaced while it ran; the disk now called "
                     + disk_ + " is left as it is.");
}

void DiskPin::check() const
{
    if (!tree_.exists(disk_) || (sequence_ && sequenceOf(tree_, disk_) != sequence_)) {
        changed();
    }
}

void DiskPin::check(int fd) const
{
    check();
#ifdef BLKGETDISKSEQ
    std::uint64_t value = 0;
    if (sequence_ && ::ioctl(fd, BLKGETDISKSEQ, &value) == 0 && value != *sequence_) {
        changed();
    }
#else
    (void)fd;
#endif
}

} // namespace sarnovelle::standin
