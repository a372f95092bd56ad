#include "linux/diskutil/Guards.h"

#include "core/MakerError.h"
#include "linux/diskutil/Answers.h"
#include "linux/diskutil/BlockTree.h"
#include "linux/diskutil/Identifier.h"
#include "linux/diskutil/Mounts.h"
#include "linux/diskutil/SystemDisks.h"

namespace sarnovelle::standin {

namespace {

// The whole disks of the running system. A mount table or swap list that
// cannot be read whole leaves them unknown, and then nothing is changed.
void refuseSystemDisk(const Context& context, const BlockTree& tree, const std::string& disk, const std::string& verb)
{
    SystemStores system;
    try {
        system = systemStores(tree, readMountInfo(context.roots), readSwaps(context.roots));
    } catch (const MakerError& failure) {
        throw MakerError(verb + " refused: " + failure.message());
    }
    if (system.wholeDisks.contains(disk)) {
        throw MakerError(verb + " refused: " + disk + " holds the running system; it is left alone.");
    }
}

} // namespace

std::string offeredWholeDisk(const Context& context, const std::string& argument, const std::string& verb)
{
    const BlockTree tree(context.roots);
    const std::string name = resolveDevice(tree, identifierArgument(argument));
    if (tree.isPartition(name)) {
        throw MakerError(verb + " needs a whole disk; " + name + " is a partition.");
    }
    if (const std::string why = whyNotOffered(tree, name); !why.empty()) {
        throw MakerError(verb + " refused: " + name + " is " + why + "; only a USB stick is changed.");
    }
    refuseSystemDisk(context, tree, name, verb);
    return name;
}

std::string partitionOfOfferedDisk(const Context& context, const std::string& argument, const std::string& verb)
{
    const BlockTree tree(context.roots);
    const std::string name = resolveDevice(tree, identifierArgument(argument));
    if (!tree.isPartition(name)) {
        throw MakerError(verb + " needs a partition; " + name + " is a whole disk.");
    }
    const std::string disk = tree.wholeDiskOf(name);
    if (const std::string why = whyNotOffered(tree, disk); !why.empty()) {
        throw MakerError(verb + " refused: " + name + " lies on " + disk + ", " + why
                         + "; only a USB stick is changed.");
    }
    refuseSystemDisk(context, tree, disk, verb);
    return name;
}

} // namespace sarnovelle::standin
