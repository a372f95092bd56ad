#include "linux/diskutil/backends/kernel/Partition.h"

#include "core/MakerError.h"
#include "core/Text.h"
#include "core/ToolRunner.h"
#include "core/UniqueFd.h"
#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/devices/Files.h"
#include "linux/diskutil/checks/DiskPin.h"
#include "linux/diskutil/checks/Guards.h"
#include "linux/diskutil/devices/Helpers.h"
#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/devices/Probe.h"
#include "linux/diskutil/backends/kernel/Volumes.h"

#include <libfdisk/libfdisk.h>

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace sarnovelle::standin {

namespace {

constexpr unsigned char fat32LbaType = 0x0C;

struct ContextFree {
    void operator()(fdisk_context* context) const { fdisk_unref_context(context); }
};
struct PartitionFree {
    void operator()(fdisk_partition* partition) const { fdisk_unref_partition(partition); }
};

void failTable(const std::string& disk, int code, const char* step)
{
    throw MakerError("Could not write the partition map on " + disk + " (" + step + "): " + errorText(-code));
}

// A DOS partition table with one partition: start and size in the disk's
// own sectors.
void writeTable(int fd, const std::string& node, const std::string& disk, std::uint64_t start, std::uint64_t length)
{
    std::unique_ptr<fdisk_context, ContextFree> context(fdisk_new_context());
    if (!context) {
        throw MakerError("Could not write the partition map on " + disk + ": out of memory.");
    }
    if (const int rc = fdisk_assign_device_by_fd(context.get(), fd, node.c_str(), 0); rc != 0) {
        failTable(disk, rc, "open");
    }
    fdisk_disable_dialogs(context.get(), 1);
    if (const int rc = fdisk_create_disklabel(context.get(), "dos"); rc != 0) {
        failTable(disk, rc, "new table");
    }
    fdisk_label* label = fdisk_get_label(context.get(), nullptr);
    fdisk_parttype* type = label ? fdisk_label_get_parttype_from_code(label, fat32LbaType) : nullptr;
    std::unique_ptr<fdisk_partition, PartitionFree> partition(fdisk_new_partition());
    if (type == nullptr || !partition) {
        throw MakerError("Could not write the partition map on " + disk + ": no FAT32 partition type.");
    }
    fdisk_partition_set_start(partition.get(), start);
    fdisk_partition_set_size(partition.get(), length);
    fdisk_partition_set_partno(partition.get(), 0);
    fdisk_partition_set_type(partition.get(), type);
    if (const int rc = fdisk_add_partition(context.get(), partition.get(), nullptr); rc != 0) {
        failTable(disk, rc, "partition");
    }
    if (const int rc = fdisk_write_disklabel(context.get()); rc != 0) {
        failTable(disk, rc, "write");
    }
    if (const int rc = fdisk_deassign_device(context.get(), 0); rc != 0) {
        failTable(disk, rc, "sync");
    }
}

bool partitionShown(const BlockTree& tree, const std::string& disk, std::uint64_t bytes)
{
    const auto partition = tree.partitionNumbered(disk, 1);
    return partition && tree.sizeBytes(*partition) == bytes && tree.partitionsOf(disk).size() == 1;
}

void partitionIoctl(int fd, int operation, int number, std::uint64_t start, std::uint64_t bytes)
{
    blkpg_partition partition{};
    partition.pno = number;
    partition.start = static_cast<long long>(start);
    partition.length = static_cast<long long>(bytes);
    blkpg_ioctl_arg argument{};
    argument.op = operation;
    argument.datalen = sizeof partition;
    argument.data = &partition;
    if (::ioctl(fd, BLKPG, &argument) != 0) {
        throw errno;
    }
}

// Makes the kernel take up the new table. The whole re-read is the normal
// way; where it leaves the old partitions in place (some kernels do so
// without an error for loop devices), the partitions are told one by one.
void rereadTable(const BlockTree& tree, int fd, const std::string& disk, std::uint64_t bytes)
{
    for (int attempt = 0;; ++attempt) {
        if (::ioctl(fd, BLKRRPART) == 0) {
            break;
        }
        const int error = errno;
        if (error != EBUSY && error != EINVAL) {
            throw MakerError("The kernel could not read the new partition map of " + disk + ": " + errorText(error));
        }
        if (error == EINVAL || attempt == 8) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    for (int wait = 0; wait < 10; ++wait) {
        if (partitionShown(tree, disk, bytes)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    try {
        for (const auto& old : tree.partitionsOf(disk)) {
            const std::string number = tree.attribute(old, "partition").value_or("0");
            partitionIoctl(fd, BLKPG_DEL_PARTITION, std::stoi(number), 0, 0);
        }
        partitionIoctl(fd, BLKPG_ADD_PARTITION, 1, partitionStartBytes, bytes);
    } catch (int error) {
        throw MakerError("The kernel could not take up the new partition map of " + disk + ": " + errorText(error));
    }
}

// Waits until the kernel lists partition 1 with the expected size and its
// device node stands in /dev (made by devtmpfs; no udev needed).
std::string waitForPartition(const BlockTree& tree, const std::string& disk, std::uint64_t bytes)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
        if (const auto partition = tree.partitionNumbered(disk, 1); partition && tree.sizeBytes(*partition) == bytes) {
            struct stat info {};
            if (::stat(tree.node(*partition).c_str(), &info) == 0 && tree.isNodeOf(*partition, info)) {
                return *partition;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw MakerError("The new partition of " + disk + " did not appear.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Zeroes the first and last MiB of the place the new partition takes.
// Old signatures there (a file system, an md superblock at the start or
// the end, an LVM label, a LUKS header, bcache, swap) would otherwise be
// in the new partition when udev first sees it, and udev's md and LVM
// rules would take it up before it is formatted. Written through the
// whole disk while the old table still stands, so that a run stopped here
// leaves a disk the next run prepares.
void eraseNewPartitionPlace(int fd, const std::string& disk, std::uint64_t bytes)
{
    constexpr std::uint64_t mebibyte = 1 << 20;
    const std::vector<char> zeros(mebibyte, 0);
    const std::uint64_t last = bytes > mebibyte ? partitionStartBytes + bytes - mebibyte : partitionStartBytes;
    for (const std::uint64_t offset : {partitionStartBytes, last}) {
        const std::uint64_t length = std::min(mebibyte, bytes);
        for (std::uint64_t done = 0; done < length;) {
            const ssize_t written = ::pwrite(fd, zeros.data() + done, length - done, static_cast<off_t>(offset + done));
            if (written <= 0) {
                const int error = written < 0 ? errno : EIO;
                throw MakerError("Could not erase the old signatures on " + disk + ": " + errorText(error));
            }
            done += static_cast<std::uint64_t>(written);
        }
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        throw MakerError("Could not erase the old signatures on " + disk + ": " + errorText(error));
    }
}

UniqueFd openExclusive(const BlockTree& tree, const std::string& name)
{
    const std::string node = tree.node(name).string();
    UniqueFd fd(::open(node.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        throw MakerError("Could not open " + node + ": " + errorText(error)
                         + (error == EBUSY ? " (it is in use)." : "."));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !tree.isNodeOf(name, info)) {
        throw MakerError(node + " is not the block device the kernel calls " + name + ".");
    }
    return fd;
}

void format(const Context& context, const std::string& mkfs, const std::string& node, const std::string& partition,
            const std::string& label)
{
    const ToolResult result = runTool(mkfs, {"-F", "32", "-n", label, node});
    if (result.status == 0) {
        return;
    }
    const std::string text = result.text();
    for (const auto line : splitLines(text)) {
        context.complain(std::string(line));
    }
    throw MakerError("Formatting " + partition + " failed (mkfs.fat exit " + std::to_string(result.status) + ").");
}

} // namespace

int partitionCommand(const Context& context, const std::vector<std::string>& arguments)
{
    return partitionWithKernel(context, parsePartitionRequest(arguments));
}

int partitionWithKernel(const Context& context, const PartitionRequest& request)
{
    const BlockTree tree(context.roots);
    const std::string disk = resolveDevice(tree, request.disk);
    if (tree.isPartition(disk)) {
        throw MakerError("partitionDisk needs a whole disk; " + disk + " is a partition.");
    }
    requirePrivileges(context, "partitionDisk");
    const DiskPin pin(tree, disk, "partitionDisk");
    refuseSystemDisk(context, tree, disk);

    const std::uint64_t bytes = request.sectors * 512;
    const unsigned sector = tree.logicalBlockSize(disk);
    if (bytes % sector != 0 || partitionStartBytes + bytes > tree.sizeBytes(disk)) {
        throw MakerError("A partition of " + std::to_string(request.sectors) + " sectors does not fit on " + disk
                         + " (" + std::to_string(tree.sizeBytes(disk)) + " bytes).");
    }
    const auto mkfs = findHelper("mkfs.fat");
    if (!mkfs) {
        throw MakerError("mkfs.fat is missing (it comes with dosfstools).");
    }

    context.say("Started partitioning on " + disk);
    context.say("Unmounting disk");
    unmountEverything(context, tree, disk, pin);
    // Whatever was built on the disk while it was being unmounted.
    refuseDiskInUse(context, disk, "partitionDisk");

    context.say("Creating the partition map");
    {
        const UniqueFd fd = openExclusive(tree, disk);
        pin.check(fd.get());
        wipeSignatures(fd.get(), disk);
        eraseNewPartitionPlace(fd.get(), disk, bytes);
        writeTable(fd.get(), tree.node(disk).string(), disk, partitionStartBytes / sector, bytes / sector);
        rereadTable(tree, fd.get(), disk, bytes);
    }

    context.say("Waiting for partitions to activate");
    const std::string partition = waitForPartition(tree, disk, bytes);

    context.say("Formatting " + partition + " as MS-DOS (FAT32) with name " + request.label);
    {
        // Old signatures inside the new partition would make the new file
        // system ambiguous to every prober.
        const UniqueFd fd = openExclusive(tree, partition);
        pin.check(fd.get());
        wipeSignatures(fd.get(), partition);
        ::fsync(fd.get());
    }
    pin.check();
    format(context, *mkfs, tree.node(partition).string(), partition, request.label);

    context.say("Mounting disk");
    const std::string mountPoint = mountVolume(context, tree, partition, MountAccess::readWrite, pin);
    context.say("Volume " + request.label + " on " + partition + " mounted at " + mountPoint);
    context.say("Finished partitioning on " + disk);
    return 0;
}

} // namespace sarnovelle::standin
