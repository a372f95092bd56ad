#include "linux/diskutil/backends/udisks/UdisksBackend.h"

#include "core/MakerError.h"
#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/checks/Guards.h"
#include "linux/diskutil/checks/InUse.h"
#include "linux/diskutil/devices/Identifier.h"

#include <sys/sysmacros.h>

#include <cctype>
#include <chrono>

namespace sarnovelle::standin {

namespace {

using namespace std::chrono_literals;

const std::string errorPrefix = "org.freedesktop.UDisks2.Error.";

std::vector<std::string> mountPointsOf(UDisksObject* object)
{
    std::vector<std::string> points;
    UDisksFilesystem* filesystem = udisks_object_peek_filesystem(object);
    if (filesystem == nullptr) {
        return points;
    }
    if (const gchar* const* list = udisks_filesystem_get_mount_points(filesystem)) {
        for (; *list != nullptr; ++list) {
            points.emplace_back(*list);
        }
    }
    return points;
}

std::string blockText(UDisksObject* object, const gchar* (*property)(UDisksBlock*))
{
    UDisksBlock* block = udisks_object_peek_block(object);
    const gchar* value = block != nullptr ? property(block) : nullptr;
    return value != nullptr ? value : "";
}

// The kernel's name for partition 1 of a disk: "p1" after a name ending
// in a digit (nvme0n1p1, mmcblk0p1), "1" otherwise (sdb1).
std::string firstPartitionName(const std::string& disk)
{
    return disk + (!disk.empty() && std::isdigit(static_cast<unsigned char>(disk.back())) ? "p1" : "1");
}

// udisks2 stops waiting for its own view of a changed device after a
// while and says "Timed out waiting for object", although the kernel has
// done the work; on a slow machine the result shows up later. Such an
// answer is checked against what then appears.
bool lateAnswer(const GErrorSlot& error)
{
    return error.message().find("Timed out waiting for object") != std::string::npos;
}

} // namespace

void UdisksBackend::pin(const BlockTree& tree, const std::string& disk, const std::string& verb)
{
    pin_.emplace(tree, disk, verb);
}

void UdisksBackend::stillSameDisk() const
{
    if (pin_) {
        pin_->check();
    }
}

std::string UdisksBackend::findCreated(const std::string& diskPath, std::uint64_t bytes,
                                       const std::string& label) const
{
    std::string found;
    bus_->waitFor(
        [&] {
            for (const auto& object : bus_->partitionsOf(diskPath)) {
                UDisksPartition* partition = udisks_object_peek_partition(object.get());
                if (udisks_partition_get_offset(partition) == partitionStartBytes
                    && udisks_partition_get_size(partition) == bytes
                    && blockText(object.get(), udisks_block_get_id_type) == "vfat"
                    && blockText(object.get(), udisks_block_get_id_label) == label) {
                    found = g_dbus_object_get_object_path(G_DBUS_OBJECT(object.get()));
                    return true;
                }
            }
            return false;
        },
        30s);
    return found;
}

GObjectPtr<UDisksObject> UdisksBackend::blockObject(const BlockTree& tree, const std::string& name) const
{
    const auto number = tree.devNumber(name);
    if (!number) {
        throw MakerError("Could not find disk: " + name);
    }
    const dev_t device = makedev(number->major, number->minor);
    GObjectPtr<UDisksObject> object;
    // A stick plugged a moment ago may reach udisks2 after the kernel.
    bus_->waitFor([&] { return (object = bus_->blockByDevice(device)) != nullptr; }, 3s);
    if (!object) {
        throw MakerError("udisks2 does not know " + name + ".");
    }
    return object;
}

std::string UdisksBackend::kernelName(const BlockTree& tree, UDisksObject* object) const
{
    UDisksBlock* block = udisks_object_peek_block(object);
    if (block != nullptr) {
        const dev_t device = udisks_block_get_device_number(block);
        if (const auto name = tree.byDevNumber(DevNumber{major(device), minor(device)})) {
            return *name;
        }
    }
    throw MakerError("The kernel does not list the device udisks2 calls "
                     + std::string(g_dbus_object_get_object_path(G_DBUS_OBJECT(object))) + ".");
}

void UdisksBackend::unmountVolume(const BlockTree& tree, const std::string& name, UDisksObject* object) const
{
    // udisks2 takes one mount away per call.
    for (int attempt = 0; attempt < 16; ++attempt) {
        bus_->settle();
        const auto points = mountPointsOf(object);
        if (points.empty()) {
            return;
        }
        const GObjectPtr<UDisksFilesystem> filesystem = adoptObject(udisks_object_get_filesystem(object));
        allowLongCall(filesystem.get());
        GErrorSlot error;
        stillSameDisk();
        if (!udisks_filesystem_call_unmount_sync(filesystem.get(), udisksOptions(), nullptr, error)) {
            const std::string failure = error.remoteName();
            if (failure == errorPrefix + "NotMounted") {
                continue; // someone else unmounted it meanwhile
            }
            if (failure == errorPrefix + "DeviceBusy") {
                const std::string loop = loopOnFilesUnder(tree, points.front());
                throw MakerError("Could not unmount " + name + " at " + points.front() + ": "
                                 + (loop.empty() ? "a program still uses files there"
                                                 : "the loop device " + loop + " still uses a file there")
                                 + "; nothing was changed.");
            }
            throw MakerError(udisksFailure("Could not unmount " + name + " at " + points.front(), error));
        }
        bus_->waitFor([&] { return mountPointsOf(object).size() < points.size(); }, 5s);
    }
    // The last unmount may have been the one that was needed.
    bus_->settle();
    if (const auto points = mountPointsOf(object); !points.empty()) {
        throw MakerError(name + " stays mounted at " + points.front() + ".");
    }
}

void UdisksBackend::unmountDisk(const BlockTree& tree, const std::string& disk,
                                UDisksObject* object) const
{
    const std::string path = g_dbus_object_get_object_path(G_DBUS_OBJECT(object));
    for (const auto& partition : bus_->partitionsOf(path)) {
        unmountVolume(tree, kernelName(tree, partition.get()), partition.get());
    }
    unmountVolume(tree, disk, object);
}

std::string UdisksBackend::mountVolume(const std::string& name, UDisksObject* object, MountAccess access) const
{
    bus_->settle();
    if (udisks_object_peek_filesystem(object) == nullptr) {
        throw MakerError("Could not mount " + name + ": no file system found.");
    }
    if (const auto points = mountPointsOf(object); !points.empty()) {
        return points.front();
    }
    const GObjectPtr<UDisksFilesystem> filesystem = adoptObject(udisks_object_get_filesystem(object));
    allowLongCall(filesystem.get());
    GErrorSlot error;
    gchar* mounted = nullptr;
    GVariant* const options = access == MountAccess::readOnly
                                  ? udisksOptions({{"options", g_variant_new_string("ro")}})
                                  : udisksOptions();
    stillSameDisk();
    if (udisks_filesystem_call_mount_sync(filesystem.get(), options, &mounted, nullptr, error)) {
        const GCharPtr owned(mounted);
        return owned.get();
    }
    // An automounter that came first is no failure: its mount point serves.
    if (error.remoteName() == errorPrefix + "AlreadyMounted"
        && bus_->waitFor([&] { return !mountPointsOf(object).empty(); }, 5s)) {
        return mountPointsOf(object).front();
    }
    throw MakerError(udisksFailure("Could not mount " + name, error));
}

void UdisksBackend::eraseVolumeAtStart(const BlockTree& tree, const std::string& diskPath) const
{
    for (const auto& old : bus_->partitionsOf(diskPath)) {
        UDisksPartition* partition = udisks_object_peek_partition(old.get());
        // Whatever it holds: a file system, an md member, an LVM label, a
        // LUKS header, bcache, swap or a signature blkid finds ambiguous
        // would all stand at the start of the new partition, where udev's
        // md and LVM rules and the automounter act on them before udisks2
        // wipes them. A partition holding a partition table starts at 0.
        if (partition == nullptr || udisks_partition_get_offset(partition) != partitionStartBytes
            || udisks_object_peek_partition_table(old.get()) != nullptr) {
            continue;
        }
        const GObjectPtr<UDisksBlock> block = adoptObject(udisks_object_get_block(old.get()));
        allowLongCall(block.get());
        GErrorSlot error;
        stillSameDisk();
        if (!udisks_block_call_format_sync(block.get(), "empty",
                                           udisksOptions({{"no-discard", g_variant_new_boolean(TRUE)}}), nullptr,
                                           error)
            && !lateAnswer(error)) {
            throw MakerError(udisksFailure("Could not erase the old volume on " + kernelName(tree, old.get()), error));
        }
    }
}

int UdisksBackend::partitionDisk(const Context& context, const PartitionRequest& request)
{
    const BlockTree tree(context.roots);
    const std::string disk = resolveDevice(tree, request.disk);
    if (tree.isPartition(disk)) {
        throw MakerError("partitionDisk needs a whole disk; " + disk + " is a partition.");
    }
    const std::uint64_t bytes = request.sectors * 512;
    if (bytes % tree.logicalBlockSize(disk) != 0 || partitionStartBytes + bytes > tree.sizeBytes(disk)) {
        throw MakerError("A partition of " + std::to_string(request.sectors) + " sectors does not fit on " + disk
                         + " (" + std::to_string(tree.sizeBytes(disk)) + " bytes).");
    }
    pin(tree, disk, "partitionDisk");
    const GObjectPtr<UDisksObject> diskObject = blockObject(tree, disk);
    const std::string diskPath = g_dbus_object_get_object_path(G_DBUS_OBJECT(diskObject.get()));

    context.say("Started partitioning on " + disk);
    context.say("Unmounting disk");
    unmountDisk(tree, disk, diskObject.get());

    // Whatever was built on the disk while it was being unmounted.
    refuseDiskInUse(context, disk, "partitionDisk");

    context.say("Creating the partition map");
    eraseVolumeAtStart(tree, diskPath);
    // An empty DOS table over the whole disk: udisks2 wipes the old
    // signatures first (both GPT headers, ISO 9660, the old table, a file
    // system on the whole disk). The old partitions are not erased one by
    // one: udisks2 refuses some of them (one that holds a partition table,
    // as an installer image's first partition does), which would leave the
    // disk half-erased. An empty GPT comes first: a GPT header that no
    // protective MBR announces (an installer image's, beside its own MBR)
    // is not always found by that wipe (udisks2 2.10 leaves the one at
    // LBA 1), and the new GPT's protective MBR makes the DOS format find
    // and wipe both headers. Stopped between the two, the disk holds an
    // empty GPT, which the next run prepares.
    const GObjectPtr<UDisksBlock> block = adoptObject(udisks_object_get_block(diskObject.get()));
    allowLongCall(block.get());
    for (const char* table : {"gpt", "dos"}) {
        GErrorSlot error;
        stillSameDisk();
        if (!udisks_block_call_format_sync(block.get(), table,
                                           udisksOptions({{"no-discard", g_variant_new_boolean(TRUE)}}), nullptr,
                                           error)
            && !lateAnswer(error)) {
            throw MakerError(udisksFailure("Could not write the partition map on " + disk, error));
        }
        // A late answer: the wait below tells whether the DOS table came.
    }

    context.say("Waiting for partitions to activate");
    if (!bus_->waitFor(
            [&] {
                return udisks_object_peek_partition_table(diskObject.get()) != nullptr
                       && bus_->partitionsOf(diskPath).empty();
            },
            30s)) {
        throw MakerError("The new partition map of " + disk + " did not appear.");
    }

    context.say("Formatting " + firstPartitionName(disk) + " as MS-DOS (FAT32) with name " + request.label);
    std::string createdPath;
    {
        const GObjectPtr<UDisksPartitionTable> table
            = adoptObject(udisks_object_get_partition_table(diskObject.get()));
        allowLongCall(table.get());
        GErrorSlot error;
        gchar* created = nullptr;
        GVariant* formatOptions = udisksOptions(
            {{"label", g_variant_new_string(request.label.c_str())}, {"no-discard", g_variant_new_boolean(TRUE)}});
        stillSameDisk();
        if (!udisks_partition_table_call_create_partition_and_format_sync(table.get(), partitionStartBytes, bytes,
                                                                         "0x0c", "", udisksOptions(), "vfat",
                                                                         formatOptions, &created, nullptr, error)) {
            if (!lateAnswer(error) || (createdPath = findCreated(diskPath, bytes, request.label)).empty()) {
                throw MakerError(udisksFailure("Could not create the FAT32 partition on " + disk, error));
            }
        } else {
            const GCharPtr owned(created);
            createdPath = owned.get();
        }
    }
    GObjectPtr<UDisksObject> partitionObject;
    bus_->waitFor(
        [&] {
            partitionObject = bus_->object(createdPath);
            return partitionObject && udisks_object_peek_filesystem(partitionObject.get()) != nullptr
                   && !blockText(partitionObject.get(), udisks_block_get_id_version).empty();
        },
        30s);
    if (!partitionObject || udisks_object_peek_block(partitionObject.get()) == nullptr) {
        throw MakerError("The new partition of " + disk + " did not appear.");
    }
    const std::string partition = kernelName(tree, partitionObject.get());
    const std::string type = blockText(partitionObject.get(), udisks_block_get_id_type);
    const std::string version = blockText(partitionObject.get(), udisks_block_get_id_version);
    if (type != "vfat" || version != "FAT32") {
        throw MakerError("The new file system on " + partition + " came out as "
                         + (type.empty() ? std::string("nothing known") : type + " " + version) + ", not FAT32.");
    }

    context.say("Mounting disk");
    const std::string mountPoint = mountVolume(partition, partitionObject.get());
    context.say("Volume " + request.label + " on " + partition + " mounted at " + mountPoint);
    context.say("Finished partitioning on " + disk);
    return 0;
}

int UdisksBackend::mount(const Context& context, const std::string& identifier, MountAccess access)
{
    const BlockTree tree(context.roots);
    const std::string name = resolveDevice(tree, identifier);
    pin(tree, tree.wholeDiskOf(name), "mount");
    const GObjectPtr<UDisksObject> object = blockObject(tree, name);
    const std::string mountPoint = mountVolume(name, object.get(), access);
    context.say("Volume " + name + " mounted at " + mountPoint);
    return 0;
}

int UdisksBackend::unmount(const Context& context, const std::string& identifier)
{
    const BlockTree tree(context.roots);
    const std::string name = resolveDevice(tree, identifier);
    pin(tree, tree.wholeDiskOf(name), "unmount");
    const GObjectPtr<UDisksObject> object = blockObject(tree, name);
    unmountVolume(tree, name, object.get());
    context.say("Volume " + name + " unmounted");
    return 0;
}

int UdisksBackend::eject(const Context& context, const std::string& identifier)
{
    const BlockTree tree(context.roots);
    const std::string disk = tree.wholeDiskOf(resolveDevice(tree, identifier));
    pin(tree, disk, "eject");
    const GObjectPtr<UDisksObject> diskObject = blockObject(tree, disk);
    const std::string drivePath = blockText(diskObject.get(), udisks_block_get_drive);
    const GObjectPtr<UDisksObject> driveObject = drivePath.empty() || drivePath == "/" ? nullptr
                                                                                       : bus_->object(drivePath);
    UDisksDrive* drive = driveObject ? udisks_object_peek_drive(driveObject.get()) : nullptr;
    if (drive == nullptr) {
        throw MakerError("udisks2 knows no drive for " + disk + "; it is not ejected.");
    }
    unmountDisk(tree, disk, diskObject.get());
    // A volume built on the disk meanwhile (the checks before the verb saw
    // none) would be cut off by the power-off.
    refuseDiskInUse(context, disk, "eject");

    // Powering the drive off is the desktop's "safely remove"; a drive
    // that cannot be powered off gets its medium ejected instead.
    allowLongCall(drive);
    GErrorSlot error;
    const bool powerOff = udisks_drive_get_can_power_off(drive) != FALSE;
    stillSameDisk();
    const bool done = powerOff ? udisks_drive_call_power_off_sync(drive, udisksOptions(), nullptr, error)
                               : udisks_drive_call_eject_sync(drive, udisksOptions(), nullptr, error);
    if (!done) {
        throw MakerError(udisksFailure("Could not " + std::string(powerOff ? "power off " : "eject ") + disk, error));
    }
    context.say("Disk /dev/" + disk + " ejected");
    return 0;
}

} // namespace sarnovelle::standin
