#include "maker/StickLayout.h"

#include "core/Config.h"

namespace sarnovelle {

namespace {

constexpr std::uint64_t mebibyte = 1048576;

} // namespace

std::string tableProblem(const PlistDict& disk)
{
    const std::string content = disk.text("Content").value_or("");
    if (content == "GUID_partition_scheme") {
        return "the disk has a GPT partition table, not an MBR";
    }
    if (content.empty()) {
        return "the disk has no partition table";
    }
    if (content != "FDisk_partition_scheme") {
        return "the disk's partition table is not an MBR (" + content + ")";
    }
    // Firmware that finds a GPT header may take it for the table whatever
    // the MBR says.
    if (disk.boolean("GPTHeader") == true) {
        return "a GPT header at sector 1 would be taken for the disk's table";
    }
    if (const auto count = disk.number("PartitionCount"); count && *count != 1) {
        return "the disk has " + std::to_string(*count) + " partitions, not one";
    }
    return {};
}

std::string partitionProblem(const PlistDict& partition)
{
    if (partition.number("PartitionMapPartitionOffset") != mebibyte) {
        return "partition 1 does not start at sector 2048";
    }
    if (partition.number("Size") != Config::partitionMiB * mebibyte) {
        return "partition 1 is not " + std::to_string(Config::partitionMiB * 2048) + " sectors ("
               + std::to_string(Config::partitionMiB) + " MiB)";
    }
    const auto type = partition.number("MBRPartitionType");
    if (partition.text("Content") != "DOS_FAT_32" || (type && *type != 0x0c)) {
        return "partition 1 is not of type 0x0c (FAT32)";
    }
    if (partition.text("FilesystemType") != "msdos" || partition.text("FilesystemName") != "MS-DOS (FAT32)") {
        return "partition 1 is not FAT32";
    }
    if (partition.text("VolumeName") != Config::volumeLabel) {
        return "partition 1 is not labelled " + std::string(Config::volumeLabel);
    }
    return {};
}

} // namespace sarnovelle
