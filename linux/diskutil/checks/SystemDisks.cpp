#include "linux/diskutil/checks/SystemDisks.h"

#include "linux/diskutil/checks/FileSystemDevices.h"
#include "linux/diskutil/checks/Overlay.h"
#include "linux/diskutil/devices/Identifier.h"

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

std::string withArticle(const std::string& word)
{
    // "an ext4", "an xfs", "a zfs", "a bcachefs".
    return (word.empty() || std::string_view("aeiox").find(word.front()) == std::string_view::npos ? "a " : "an ")
           + word;
}

// One walk down from mounts and devices to the leaves they stand on. A
// mount that leads to no device although its file system keeps its data
// on a disk is noted as unknown.
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
    // upper folder perhaps on a persistence partition), for btrfs and ZFS
    // mounts without a device of their own the devices of their file
    // system or pool. Each mount is followed once, so that overlays naming
    // each other end.
    void mount(const MountEntry& entry, int depth)
    {
        if (depth > maxDepth || std::find(followed_.begin(), followed_.end(), entry) != followed_.end()) {
            return;
        }
        followed_.push_back(entry);
        const auto devices = devicesOfMount(tree_, entry);
        for (const auto& name : devices) {
            device(name, depth + 1);
        }
        if (!devices.empty()) {
            return;
        }
        if (entry.fsType == "overlay") {
            layers(entry, depth);
            return;
        }
        // btrfs from a source that names no member ("/dev/root"), and ZFS,
        // whose source is a dataset of a pool.
        std::vector<std::string> found;
        if (entry.fsType == "btrfs") {
            found = soleBtrfsDevices(tree_).value_or(std::vector<std::string>{});
        } else if (entry.fsType == "zfs") {
            found = zfsPoolMembers(tree_, entry.source);
        }
        for (const auto& name : found) {
            device(name, depth + 1);
        }
        if (!found.empty()) {
            return;
        }
        if (entry.fsType == "autofs") {
            noteUnknown(printable(entry.mountPoint) + " is an automount point that stays empty when accessed.");
        } else if (isDiskBacked(entry.fsType)) {
            noteUnknown(printable(entry.mountPoint) + " is " + withArticle(printable(entry.fsType))
                        + " file system from " + printable(entry.source) + " whose devices are not known.");
        }
    }

    void noteUnknown(const std::string& why)
    {
        if (unknown_.empty()) {
            unknown_ = why;
        }
    }

    const std::string& unknown() const { return unknown_; }

private:
    // An overlay may be mounted over its own lower folder: look below it.
    void layers(const MountEntry& entry, int depth)
    {
        std::vector<MountEntry> others;
        std::copy_if(table_.begin(), table_.end(), std::back_inserter(others),
                     [&entry](const MountEntry& other) { return other != entry; });
        for (const auto& folder : overlayFolders(entry.superOptions)) {
            if (const auto holder = mountHolding(others, folder)) {
                mount(*holder, depth + 1);
            }
        }
    }

    const BlockTree& tree_;
    const std::vector<MountEntry>& table_;
    std::vector<std::string>& leaves_;
    std::vector<MountEntry> followed_;
    std::string unknown_;
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
    if (!system.rootMount) {
        walk.noteUnknown("/ is not in the mount table.");
    }
    for (const auto place : systemPlaces) {
        const auto stacked = mountsAt(table, std::string(place));
        for (std::size_t i = 0; i < stacked.size(); ++i) {
            // An automount point with a mount on top: that mount holds the data.
            if (i == 0 || stacked[i].fsType != "autofs") {
                walk.mount(stacked[i], 0);
            }
        }
    }
    system.unknown = walk.unknown();
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
