#include "linux/diskutil/backends/kernel/StaleMounts.h"

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

namespace {

bool isDirectlyInside(const std::string& mountPoint, const fs::path& folder)
{
    const fs::path place = fs::path(mountPoint).lexically_normal();
    return place.has_filename() && place.parent_path() == folder.lexically_normal();
}

bool isGoneBlockDevice(const BlockTree& tree, const MountEntry& entry)
{
    return entry.device.major != 0 && entry.source.starts_with("/dev/") && !tree.byDevNumber(entry.device);
}

} // namespace

std::vector<MountEntry> staleMounts(const BlockTree& tree, const std::vector<MountEntry>& table,
                                    const fs::path& folder)
{
    std::vector<MountEntry> stale;
    if (tree.allNames().empty()) {
        return stale;
    }
    for (const auto& entry : table) {
        // Detaching by place reaches the topmost mount there: a stale mount
        // covered by a live one stays.
        if (isDirectlyInside(entry.mountPoint, folder) && mountAt(table, entry.mountPoint) == entry
            && isGoneBlockDevice(tree, entry)) {
            stale.push_back(entry);
        }
    }
    return stale;
}

void clearStaleMounts(const BlockTree& tree, const std::vector<MountEntry>& table, const fs::path& folder)
{
    std::vector<MountEntry> remaining = table;
    // Stale mounts may lie on stale mounts at the same place: detach from
    // the top, round by round, as long as every detach succeeds.
    bool detachedAll = true;
    while (detachedAll) {
        const auto stale = staleMounts(tree, remaining, folder);
        if (stale.empty()) {
            break;
        }
        for (const auto& entry : stale) {
            if (::umount2(entry.mountPoint.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) {
                detachedAll = false;
            }
            remaining.erase(std::find(remaining.begin(), remaining.end(), entry));
            ::rmdir(entry.mountPoint.c_str()); // only when empty and no longer a mount point
        }
    }
}

} // namespace sarnovelle::standin
