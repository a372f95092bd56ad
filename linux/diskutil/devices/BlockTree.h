#pragma once

#include "linux/diskutil/Context.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sarnovelle::standin {

// A block device's number, as in the kernel's "dev" attribute (8:16).
struct DevNumber {
    unsigned major = 0;
    unsigned minor = 0;
    bool operator==(const DevNumber&) const = default;
    auto operator<=>(const DevNumber&) const = default;
};

std::optional<DevNumber> parseDevNumber(const std::string& text);

// The device number a device node stands for.
DevNumber devNumberOf(const struct stat& info);

// The kernel's block devices as sysfs shows them under class/block: whole
// disks and their partitions, by kernel name (sdb, sdb1, nvme0n1p1).
// Names handed in must already be plain names (see Identifier.h).
class BlockTree {
public:
    explicit BlockTree(const Roots& roots) : roots_(roots) {}

    bool exists(const std::string& name) const;
    bool isPartition(const std::string& name) const;
    // The whole disk holding a partition; the name itself otherwise.
    std::string wholeDiskOf(const std::string& name) const;
    // The disk's partitions, in the order of their numbers.
    std::vector<std::string> partitionsOf(const std::string& disk) const;
    // The disk's partition with the given number, if the kernel knows it.
    std::optional<std::string> partitionNumbered(const std::string& disk, unsigned number) const;

    // Size in bytes (sysfs counts 512-byte units whatever the sector size).
    std::uint64_t sizeBytes(const std::string& name) const;
    unsigned logicalBlockSize(const std::string& disk) const;
    // An attribute below the device's sysfs folder ("removable",
    // "device/model"), trimmed; absent when missing.
    std::optional<std::string> attribute(const std::string& name, const std::string& relative) const;
    std::optional<DevNumber> devNumber(const std::string& name) const;
    // Whether a stat of a /dev entry shows the block device the kernel
    // calls `name` (and not some other node put in its place).
    bool isNodeOf(const std::string& name, const struct stat& info) const;
    // The devices this one is built on (device-mapper, md), by name.
    std::vector<std::string> slaves(const std::string& name) const;
    // The devices built on this one.
    std::vector<std::string> holders(const std::string& name) const;

    // Every block device name, whole disks and partitions, in the order of
    // their device numbers.
    std::vector<std::string> allNames() const;
    std::optional<std::string> byDevNumber(DevNumber number) const;
    // The device-mapper device with the given name (/dev/mapper/<name>).
    std::optional<std::string> byMapperName(const std::string& mapperName) const;

    // The device's own folder in the sysfs device tree, links resolved.
    std::optional<std::filesystem::path> deviceFolder(const std::string& name) const;
    std::filesystem::path node(const std::string& name) const { return roots_.dev / name; }
    const Roots& roots() const { return roots_; }

private:
    std::filesystem::path entry(const std::string& name) const { return roots_.sysfs / "class/block" / name; }
    std::vector<std::string> linked(const std::string& name, const char* folder) const;
    Roots roots_;
};

} // namespace sarnovelle::standin
