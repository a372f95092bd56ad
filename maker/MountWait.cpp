#include "maker/MountWait.h"

#include "core/MakerError.h"

#include <thread>

namespace sarnovelle {

namespace {

// The mount point once the partition is mounted as FAT; absent until then.
std::optional<std::string> mountedFat(const DiskEnv& env, const std::string& partition)
{
    const auto info = diskutilPlist(env, {"info", "-plist", partition});
    if (!info || info->text("FilesystemType") != "msdos") {
        return std::nullopt;
    }
    auto mountPoint = info->text("MountPoint");
    if (!mountPoint || mountPoint->empty()) {
        return std::nullopt;
    }
    return mountPoint;
}

} // namespace

std::string waitForMount(const DiskEnv& env, const std::string& partition)
{
    for (int remaining = mountWaitQueries; remaining > 0; --remaining) {
        if (auto mountPoint = mountedFat(env, partition)) {
            return std::move(*mountPoint);
        }
        std::this_thread::sleep_for(mountWaitPause);
    }
    throw MakerError("The new FAT32 partition " + partition + " did not appear. See the diskutil lines above.");
}

} // namespace sarnovelle
