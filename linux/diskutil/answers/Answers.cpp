#include "linux/diskutil/answers/Answers.h"

#include "core/MakerError.h"
#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/devices/Layout.h"
#include "linux/diskutil/checks/InUse.h"
#include "linux/diskutil/checks/Offered.h"
#include "linux/diskutil/devices/Mounts.h"
#include "linux/diskutil/devices/Probe.h"
#include "linux/diskutil/checks/RunningSystem.h"
#include "linux/diskutil/checks/SystemDisks.h"
#include "linux/diskutil/checks/WriteProtection.h"
#include "linux/diskutil/devices/Transport.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdint>
#include <optional>

namespace sarnovelle::standin {

namespace {

void describeWholeDisk(PlistDict& answer, const BlockTree& tree, const std::string& disk)
{
    const std::string bus = busProtocol(tree, disk);
    answer.setText("BusProtocol", bus);
    answer.setBool("Internal", isInternal(tree, disk, bus));
    answer.setBool("Removable", isRemovable(tree, disk));
    answer.setText("MediaName", mediaName(tree, disk));
    answer.setBool("WritableMedia", !isWriteProtected(tree, disk));
}

// The table's name for what an MBR entry holds, as the macOS utility
// shows a partition's "Content"; the type byte in hex for the others.
std::string mbrContent(unsigned type)
{
    switch (type) {
    case 0x0b:
    case 0x0c:
        return "DOS_FAT_32";
    case 0x01:
        return "DOS_FAT_12";
    case 0x04:
    case 0x06:
    case 0x0e:
        return "DOS_FAT_16";
    case 0x07:
        return "Windows_NTFS";
    case 0x83:
        return "Linux";
    default:
        std::array<char, 8> hex{};
        std::snprintf(hex.data(), hex.size(), "0x%02x", type & 0xffU);
        return hex.data();
    }
}

// The whole disk's table as the macOS utility names its "Content", and
// (keys of this utility alone) the kernel's count of partitions and
// whether sector 1 holds a GPT header beside it.
void describeTable(PlistDict& answer, const BlockTree& tree, const std::string& disk)
{
    const DiskLayout layout = readDiskLayout(tree, disk);
    answer.setText("Content", layout.tableType == "dos"   ? "FDisk_partition_scheme"
                              : layout.tableType == "gpt" ? "GUID_partition_scheme"
                                                          : layout.tableType);
    answer.setNumber("PartitionCount", layout.partitionCount);
    if (layout.gptHeader) {
        answer.setBool("GPTHeader", *layout.gptHeader);
    }
}

void describeVolume(PlistDict& answer, const BlockTree& tree, const std::vector<MountEntry>& table,
                    const std::string& name)
{
    const auto mounts = mountsOf(tree, table, name);
    // A mounted volume's type is the kernel's; only its label is read.
    const FilesystemProbe probe = probeFilesystem(tree.node(name), mounts.empty() ? "" : mounts.front().fsType);
    // Where this user cannot read the device, udev's record speaks for it.
    const PartitionLayout layout = readPartitionLayout(tree, name);
    const std::string type = !mounts.empty() ? mounts.front().fsType : !probe.type.empty() ? probe.type : layout.fsType;
    answer.setText("FilesystemType", filesystemName(type));
    if (filesystemName(type) == "msdos" && !layout.fsVersion.empty()) {
        answer.setText("FilesystemName", "MS-DOS (" + layout.fsVersion + ")");
    }
    answer.setText("VolumeName", !probe.type.empty() ? probe.label : layout.label);
    answer.setText("MountPoint", mounts.empty() ? std::string() : mounts.front().mountPoint);
    answer.setNumber("PartitionMapPartitionOffset", layout.offset);
    if (layout.mbrType) {
        answer.setText("Content", mbrContent(*layout.mbrType));
        answer.setNumber("MBRPartitionType", *layout.mbrType);
    }
}

PlistDict deviceAnswer(const BlockTree& tree, const std::vector<MountEntry>& table, const std::vector<SwapEntry>& swaps,
                       const std::string& name)
{
    PlistDict answer;
    const std::string whole = tree.wholeDiskOf(name);
    answer.setText("DeviceIdentifier", name);
    answer.setText("DeviceNode", "/dev/" + name);
    answer.setBool("WholeDisk", whole == name);
    answer.setText("ParentWholeDisk", whole);
    answer.setNumber("Size", tree.sizeBytes(name));
    describeWholeDisk(answer, tree, whole);
    if (whole == name) {
        // Not a key of the platform's own utility: a disk without it is
        // taken as used by nothing.
        if (const std::string user = whatUsesDisk(tree, table, swaps, name); !user.empty()) {
            answer.setText("InUseBy", user);
        }
        describeTable(answer, tree, name);
    } else {
        const std::string number = tree.attribute(name, "partition").value_or("");
        std::uint64_t value = 0;
        std::from_chars(number.data(), number.data() + number.size(), value);
        answer.setNumber("PartitionNumber", value);
        describeVolume(answer, tree, table, name);
    }
    return answer;
}

std::vector<PlistDict> storeList(const std::vector<std::string>& stores)
{
    std::vector<PlistDict> list;
    for (const auto& store : stores) {
        PlistDict entry;
        entry.setText("APFSPhysicalStore", store);
        list.push_back(entry);
    }
    return list;
}

PlistDict mountPointAnswer(const Context& context, const BlockTree& tree, std::string path)
{
    if (path.find("/../") != std::string::npos || path.ends_with("/..") || path.find('\0') != std::string::npos) {
        throw MakerError("Invalid mount point: \"" + printable(path) + "\".");
    }
    while (path.size() > 1 && path.ends_with('/')) {
        path.pop_back();
    }
    // "/" answers with the running system's disks, which must all be found.
    std::optional<RunningSystem> running;
    if (path == "/") {
        running = readRunningSystem(context, tree);
    }
    const auto table = running ? running->table : readMountInfo(context.roots);
    const auto entry = mountAt(table, path);
    if (!entry) {
        throw MakerError("Could not find disk: " + printable(path));
    }
    PlistDict answer;
    const auto swaps = running ? running->swaps : readSwaps(context.roots);
    const auto devices = devicesOfMount(tree, *entry);
    if (!devices.empty()) {
        answer = deviceAnswer(tree, table, swaps, devices.front());
    }
    answer.setText("MountPoint", entry->mountPoint);
    answer.setText("FilesystemType", filesystemName(entry->fsType));
    if (running) {
        answer.setDictList("APFSPhysicalStores", storeList(running->stores.stores));
    } else {
        answer.setDictList("APFSPhysicalStores", storeList(leavesOfMount(tree, table, path)));
    }
    return answer;
}

} // namespace

PlistDict listAnswer(const Context& context)
{
    const BlockTree tree(context.roots);
    std::vector<std::string> disks;
    for (const auto& name : tree.allNames()) {
        if (isListedWholeDisk(tree, name)) {
            disks.push_back(name);
        }
    }
    PlistDict answer;
    answer.setTextList("WholeDisks", disks);
    return answer;
}

PlistDict infoAnswer(const Context& context, const std::string& argument)
{
    const BlockTree tree(context.roots);
    if (argument.starts_with("/") && !argument.starts_with("/dev/")) {
        return mountPointAnswer(context, tree, argument);
    }
    const auto table = readMountInfo(context.roots);
    const std::string name = resolveDevice(tree, identifierArgument(argument));
    return deviceAnswer(tree, table, readSwaps(context.roots), name);
}

} // namespace sarnovelle::standin
