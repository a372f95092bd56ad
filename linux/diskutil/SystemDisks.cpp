#include "linux/diskutil/SystemDisks.h"

#include <algorithm>

namespace sarnovelle::standin {

namespace {

// Deep enough for LVM on LUKS on md on a loop file, and a stop for a loop
// device whose backing file lies on itself.
constexpr int maxDepth = 16;

void appendOnce(std::vector<std::string>& list, const std::string& name)
{
    if (std::find(list.begin(), list.end(), name) == list.end()) {
        list.push_back(name);
    }
}

void collectLeaves(const BlockTree& tree, const std::vector<MountEntry>& table, const std::string& name, int depth,
                   std::vector<std::string>& leaves)
{
    if (depth > maxDepth) {
        return;
    }
    auto below = tree.slaves(name);
    if (below.empty() && tree.isPartition(name)) {
        // A partition of an md array or a mapped device: its disk's layers.
        const std::string whole = tree.wholeDiskOf(name);
        if (whole != name) {
            below = tree.slaves(whole);
        }
    }
    if (!below.empty()) {
        for (const auto& slave : below) {
            collectLeaves(tree, table, slave, depth + 1, leaves);
        }
        return;
    }
    appendOnce(leaves, name);
    const std::string whole = tree.wholeDiskOf(name);
    if (const auto file = tree.attribute(whole, "loop/backing_file"); file && !file->empty()) {
        if (const auto holder = mountHolding(table, *file)) {
            for (const auto& device : devicesOfMount(tree, *holder)) {
                collectLeaves(tree, table, device, depth + 1, leaves);
            }
        }
    }
}

} // namespace

std::vector<std::string> backingLeaves(const BlockTree& tree, const std::vector<MountEntry>& table,
                                       const std::string& name)
{
    std::vector<std::string> leaves;
    collectLeaves(tree, table, name, 0, leaves);
    return leaves;
}

std::vector<std::string> leavesOfMount(const BlockTree& tree, const std::vector<MountEntry>& table,
                                       const std::string& mountPoint)
{
    std::vector<std::string> leaves;
    if (const auto entry = mountAt(table, mountPoint)) {
        for (const auto& device : devicesOfMount(tree, *entry)) {
            for (const auto& leaf : backingLeaves(tree, table, device)) {
                appendOnce(leaves, leaf);
            }
        }
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
    for (const char* mountPoint : {"/", "/boot", "/boot/efi", "/usr"}) {
        for (const auto& leaf : leavesOfMount(tree, table, mountPoint)) {
            appendOnce(system.stores, leaf);
        }
    }
    for (const auto& swap : swaps) {
        std::vector<std::string> devices;
        if (swap.type == "partition") {
            if (auto device = deviceOfPath(tree, swap.path)) {
                devices.push_back(*device);
            }
        } else if (const auto holder = mountHolding(table, swap.path)) {
            devices = devicesOfMount(tree, *holder);
        }
        for (const auto& device : devices) {
            for (const auto& leaf : backingLeaves(tree, table, device)) {
                appendOnce(system.stores, leaf);
            }
        }
    }
    for (const auto& store : system.stores) {
        system.wholeDisks.insert(tree.wholeDiskOf(store));
    }
    return system;
}

} // namespace sarnovelle::standin
