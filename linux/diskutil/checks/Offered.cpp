#include "linux/diskutil/checks/Offered.h"

#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/devices/Transport.h"

namespace sarnovelle::standin {

bool isListedWholeDisk(const BlockTree& tree, const std::string& name)
{
    return isPlainName(name) && tree.exists(name) && !tree.isPartition(name) && isPhysical(tree, name)
           && isExternal(tree, name);
}

bool isInternal(const BlockTree& tree, const std::string& disk, const std::string& bus)
{
    return !(bus == "USB" || isRemovable(tree, disk));
}

std::string whyNotOffered(const BlockTree& tree, const std::string& name)
{
    if (!tree.exists(name)) {
        return "no such disk";
    }
    if (tree.isPartition(name)) {
        return "a partition, not a whole disk";
    }
    if (!isListedWholeDisk(tree, name)) {
        if (isPhysical(tree, name)) {
            return "an internal disk";
        }
        // An optical drive, an empty card reader, a hidden or virtual device.
        const std::string bus = busProtocol(tree, name);
        return bus == "Virtual" ? "no physical disk (Virtual)" : "no physical disk";
    }
    const std::string bus = busProtocol(tree, name);
    if (bus != "USB") {
        return "not attached by USB (" + bus + ")";
    }
    if (isInternal(tree, name, bus)) {
        return "an internal disk";
    }
    if (const std::uint64_t size = tree.sizeBytes(name); size < smallestStick) {
        return "too small (" + std::to_string(size >> 20) + " MiB, at least " + std::to_string(smallestStick >> 20)
               + " MiB needed)";
    }
    return {};
}

} // namespace sarnovelle::standin
