#include "linux/diskutil/checks/SystemDisks.h"

#include "linux/diskutil/checks/Overlay.h"

#include <algorithm>
#include <iterator>

namespace sarnovelle::standin {

namespace {

// Deep enough for LVM on LUKS on md on a loop file on a live system's
// overlay, and a stop for a loop device whose backing file lies on itself.
constexpr int maxDepth = 16;

void appendOnce(std::vector<std::string>& list, const std::string& name)
{
    if (std::find(list.begin(), list.end(), name) == list.end()) {
        list.push_back(name);
    }
}

// One walk down from mounts and devices to the leaves they stand on.
class LeafWalk {
public:
    LeafWalk(const BlockTree& tree, const std::vector<MountEntry>& table, std::vector<std::string>& leaves)
        : tree_(tree), table_(table), leaves_(leaves)
    {
    }

    void device(const std::string& name, int depth)
    {
        if (depth > maxDepth) {
            return;
        }
        auto below = tree_.slaves(name);
        if (below.empty() && tree_.isPartition(name)) {
            // A partition of an md array or a mapped device: its disk's layers.
            const std::string whole = tree_.wholeDiskOf(name);
            if (whole != name) {
                below = tree_.slaves(whole);
            }
        }
        if (!below.empty()) {
            for (const auto& slave : below) {
                device(slave, depth + 1);
            }
            return;
        }
        appendOnce(leaves_, name);
        const std::string whole = tree_.wholeDiskOf(name);
        if (const auto file = tree_.attribute(whole, "loop/backing_file"); file && !file->empty()) {
            if (const auto holder = mountHolding(table_, *file)) {
                mount(*holder, depth + 1);
            }
        }
    }

    // The leaves behind one mount: its devices and, for an overlay, the
    // mounts holding its layers, its upper and its work folder (a live
    // system's root stands on a squashfs image on the live medium, its
    // upper folder perhaps on a persistence partition). Each mount is
    // followed once, so that overlays naming each other end.
    void mount(const MountEntry& entry, int depth)
    {
        if (depth > maxDepth || std::find(followed_.begin(), followed_.end(), entry) != followed_.end()) {
            return;
        }
        followed_.push_back(entry);
        for (const auto& name : devicesOfMount(tree_, entry)) {
            device(name, depth + 1);
        }
        if (entry.fsType != "overlay") {
            return;
        }
        // An overlay may be mounted over its own lower folder: look below it.
        std::vector<MountEntry> others;
        std::copy_if(table_.begin(), table_.end(), std::back_inserter(others),
                     [&entry](const MountEntry& other) { return other != entry; });
        for (const auto& folder : overlayFolders(entry.superOptions)) {
            if (const auto holder = mountHolding(others, folder)) {
                mount(*holder, depth + 1);
            }
        }
    }

private:
    const BlockTree& tree_;
    const std::vector<MountEntry>& table_;
    std::vector<std::string>& leaves_;
    std::vector<MountEntry> followed_;
};

// Where live systems keep the medium they were started from (and, below
// /run/live, their persistence partitions), whether or not the root is
// built on it: Debian live (live-boot), its older releases, Ubuntu
// (casper, with /isodevice for an image file on a disk), Fedora (dracut)
// and Arch.
bool isLiveMediumMount(const std::string& mountPoint)
{
    for (const std::string folder : {"/run/live", "/lib/live/mount"}) {
        if (mountPoint == folder || mountPoint.starts_with(folder + "/")) {
            return true;
        }
    }
    for (const char* place : {"/cdrom", "/isodevice", "/run/initramfs/live", "/run/archiso/bootmnt"}) {
        if (mountPoint == place) {
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<std::string> backingLeaves(const BlockTree& tree, const std::vector<MountEntry>& table,
                                       const std::string& name)
{
    std::vector<std::string> leaves;
    LeafWalk(tree, table, leaves).device(name, 0);
    return leaves;
}

std::vector<std::string> leavesOfMount(const BlockTree& tree, const std::vector<MountEntry>& table,
                                       const std::string& mountPoint)
{
    std::vector<std::string> leaves;
    if (const auto entry = mountAt(table, mountPoint)) {
        LeafWalk(tree, table, leaves).mount(*entry, 0);
    }
    return leaves;
}

SystemStores systemStores(const BlockTree& tree, const std::vector<MountEntry>& table,
                          const std::vector<SwapEntry>& swaps)
{
    SystemStores system;
    system.rootMount = mountAt(table, "/");
    if (system.rootMount) {
        const auto devices = devicesOfMount(tree, *system.rootMount);
        if (!devices.empty()) {
            system.rootDevice = devices.front();
            system.wholeDisks.insert(tree.wholeDiskOf(devices.front()));
        }
    }
    LeafWalk walk(tree, table, system.stores);
    // Every mount stacked at those places counts, so that one mounted on
    // top cannot hide the disk below it.
    for (const char* mountPoint : {"/", "/boot", "/boot/efi", "/usr"}) {
        for (const auto& entry : mountsAt(table, mountPoint)) {
            walk.mount(entry, 0);
        }
    }
    for (const auto& entry : table) {
        if (isLiveMediumMount(entry.mountPoint)) {
            walk.mount(entry, 0);
        }
    }
    for (const auto& swap : swaps) {
        if (swap.type == "partition") {
            if (const auto device = deviceOfPath(tree, swap.path)) {
                walk.device(*device, 0);
            }
        } else if (const auto holder = mountHolding(table, swap.path)) {
            walk.mount(*holder, 0);
        }
    }
    for (const auto& store : system.stores) {
        system.wholeDisks.insert(tree.wholeDiskOf(store));
    }
    return system;
}

} // namespace sarnovelle::standin
