#include "linux/diskutil/checks/Guards.h"

#include "core/MakerError.h"
#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/checks/InUse.h"
#include "linux/diskutil/checks/Offered.h"
#include "linux/diskutil/checks/RunningSystem.h"

namespace sarnovelle::standin {

namespace {

struct DiskUse {
    SystemStores system;
    std::string user; // what uses the disk; empty when nothing does
};

// The whole disks of the running system and what uses `disk`. A mount
// table or swap list that cannot be read whole, or a place of the system
// whose disks cannot be found, leaves them unknown, and then nothing is
// changed.
DiskUse diskUse(const Context& context, const BlockTree& tree, const std::string& disk, const std::string& verb)
{
    try {
        RunningSystem running = readRunningSystem(context, tree);
        std::string user = whatUsesDisk(tree, running.table, running.swaps, disk);
        return {std::move(running.stores), std::move(user)};
    } catch (const MakerError& failure) {
        throw MakerError(verb + " refused: " + failure.message());
    }
}

// Refuses a disk of the running system and a disk in use; `target` is the
// device named by the invocation, `disk` its whole disk.
void refuseSystemOrUsed(const Context& context, const BlockTree& tree, const std::string& target,
                        const std::string& disk, const std::string& verb)
{
    const DiskUse use = diskUse(context, tree, disk, verb);
    if (use.system.wholeDisks.contains(disk)) {
        throw MakerError(verb + " refused: " + disk + " holds the running system; it is left alone.");
    }
    if (!use.user.empty()) {
        throw MakerError(verb + " refused: " + (target == disk ? disk : target + " lies on " + disk + ", which")
                         + " is in use by " + use.user + "; nothing was changed.");
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
    refuseSystemOrUsed(context, tree, name, name, verb);
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
    refuseSystemOrUsed(context, tree, name, disk, verb);
    return name;
}

void refuseDiskInUse(const Context& context, const std::string& disk, const std::string& verb)
{
    const BlockTree tree(context.roots);
    if (const std::string user = diskUse(context, tree, disk, verb).user; !user.empty()) {
        throw MakerError(verb + " refused: " + disk + " is in use by " + user + "; nothing was changed.");
    }
}

} // namespace sarnovelle::standin
