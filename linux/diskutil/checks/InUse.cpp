#include "linux/diskutil/checks/InUse.h"

#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/devices/Udev.h"

#include <algorithm>
#include <filesystem>
#include <optional>

namespace sarnovelle::standin {

namespace fs = std::filesystem;

namespace {

// How the kernel's device-mapper and md devices call themselves.
std::string describeHolder(const BlockTree& tree, const std::string& holder)
{
    if (const auto name = tree.attribute(holder, "dm/name")) {
        const std::string uuid = tree.attribute(holder, "dm/uuid").value_or("");
        const std::string shown = printable(*name);
        if (uuid.starts_with("CRYPT-LUKS")) {
            return "the LUKS volume " + shown;
        }
        if (uuid.starts_with("CRYPT-")) {
            return "the encrypted volume " + shown;
        }
        if (uuid.starts_with("LVM-")) {
            return "the LVM volume " + shown;
        }
        if (uuid.starts_with("mpath-")) {
            return "the multipath device " + shown;
        }
        return "the device-mapper volume " + shown;
    }
    if (tree.attribute(holder, "md/level")) {
        return "the RAID array " + holder;
    }
    if (tree.attribute(holder, "bcache/state") || holder.starts_with("bcache")) {
        return "the bcache device " + holder;
    }
    return "the device " + holder;
}

bool isSwap(const BlockTree& tree, const std::vector<SwapEntry>& swaps, const std::string& device)
{
    return std::any_of(swaps.begin(), swaps.end(),
                       [&](const SwapEntry& swap) { return deviceOfPath(tree, swap.path) == device; });
}

// Where what is built on `holder` ends up: the first mount point of the
// holder or of a device stacked on it (LVM on LUKS and the like).
std::string whereUsed(const BlockTree& tree, const std::vector<MountEntry>& table,
                      const std::vector<SwapEntry>& swaps, const std::string& holder)
{
    std::vector<std::string> level{holder};
    std::vector<std::string> seen;
    for (int depth = 0; depth < 8 && !level.empty(); ++depth) {
        std::vector<std::string> next;
        for (const auto& device : level) {
            if (std::find(seen.begin(), seen.end(), device) != seen.end()) {
                continue;
            }
            seen.push_back(device);
            if (const auto mounts = mountsOf(tree, table, device); !mounts.empty()) {
                return ", mounted at " + printable(mounts.front().mountPoint);
            }
            if (isSwap(tree, swaps, device)) {
                return ", used as swap";
            }
            const auto above = tree.holders(device);
            next.insert(next.end(), above.begin(), above.end());
        }
        level = std::move(next);
    }
    return {};
}

// The folder of the mounted btrfs file system that lists the device among
// its members, when it has more than one.
std::optional<fs::path> multiDeviceBtrfs(const BlockTree& tree, const std::string& device)
{
    std::error_code error;
    for (fs::directory_iterator it(tree.roots().sysfs / "fs/btrfs", error), end; !error && it != end;
         it.increment(error)) {
        std::error_code inner;
        if (!fs::exists(it->path() / "devices" / device, inner)) {
            continue;
        }
        const auto members = std::distance(fs::directory_iterator(it->path() / "devices", inner),
                                           fs::directory_iterator());
        if (!inner && members > 1) {
            return it->path();
        }
    }
    return std::nullopt;
}

std::string btrfsMountPoint(const BlockTree& tree, const std::vector<MountEntry>& table, const std::string& device)
{
    for (const auto& entry : table) {
        if (entry.fsType != "btrfs") {
            continue;
        }
        const auto devices = devicesOfMount(tree, entry);
        if (std::find(devices.begin(), devices.end(), device) != devices.end()) {
            return ", mounted at " + printable(entry.mountPoint);
        }
    }
    return {};
}

std::optional<std::string> zfsPool(const BlockTree& tree, const std::string& device)
{
    const auto pool = zfsPoolOfMember(tree, device);
    if (!pool) {
        return std::nullopt;
    }
    return pool->empty() ? std::string("a ZFS pool") : "the ZFS pool " + printable(*pool);
}

} // namespace

std::vector<LoopDevice> loopDevices(const BlockTree& tree)
{
    std::vector<LoopDevice> loops;
    for (const auto& name : tree.allNames()) {
        if (!name.starts_with("loop")) {
            continue;
        }
        // A loop device without a backing file is unused.
        if (auto backing = tree.attribute(name, "loop/backing_file"); backing && !backing->empty()) {
            loops.push_back({name, std::move(*backing)});
        }
    }
    return loops;
}

std::string loopOnFilesUnder(const BlockTree& tree, const std::string& folder)
{
    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    for (const auto& loop : loopDevices(tree)) {
        if (loop.backingFile.starts_with(prefix)) {
            return loop.name;
        }
    }
    return {};
}

std::string whatUsesDisk(const BlockTree& tree, const std::vector<MountEntry>& table,
                         const std::vector<SwapEntry>& swaps, const std::string& disk)
{
    std::vector<std::string> devices = tree.partitionsOf(disk);
    devices.insert(devices.begin(), disk);
    std::error_code error;
    const bool zfsLoaded = fs::exists(tree.roots().sysfs / "module/zfs", error);
    const std::vector<LoopDevice> loops = loopDevices(tree);
    for (const auto& device : devices) {
        // A loop device on a block device leaves no holders/ entry; the
        // kernel names the device it reads in its backing file.
        for (const auto& loop : loops) {
            if (loop.backingFile == "/dev/" + device) {
                return "the loop device " + loop.name + whereUsed(tree, table, swaps, loop.name);
            }
        }
        if (const auto holders = tree.holders(device); !holders.empty()) {
            return describeHolder(tree, holders.front()) + whereUsed(tree, table, swaps, holders.front());
        }
        if (multiDeviceBtrfs(tree, device)) {
            return "a btrfs file system of several devices" + btrfsMountPoint(tree, table, device);
        }
        if (isSwap(tree, swaps, device)) {
            return "swap space on " + device;
        }
        if (zfsLoaded) {
            if (const auto pool = zfsPool(tree, device)) {
                return *pool;
            }
        }
    }
    return {};
}

} // namespace sarnovelle::standin
