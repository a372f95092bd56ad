#include "linux/diskutil/devices/Layout.h"

#include "core/UniqueFd.h"
#include "linux/diskutil/devices/Udev.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>

namespace sarnovelle::standin {

namespace {

struct ProbeFree {
    void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
using ProbePtr = std::unique_ptr<blkid_struct_probe, ProbeFree>;

using Values = std::map<std::string, std::string>;

// What libblkid finds on the open device: its partition table, the entry
// of a partition and, with `superblocks`, the file system with its version
// and label. Empty when nothing or more than one signature is found.
Values probeValues(int fd, bool superblocks)
{
    Values values;
    ProbePtr probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0) {
        return values;
    }
    blkid_probe_enable_superblocks(probe.get(), superblocks ? 1 : 0);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    if (blkid_do_safeprobe(probe.get()) != 0) {
        return values;
    }
    const int count = blkid_probe_numof_values(probe.get());
    for (int i = 0; i < count; ++i) {
        const char* name = nullptr;
        const char* data = nullptr;
        std::size_t length = 0;
        if (blkid_probe_get_value(probe.get(), i, &name, &data, &length) == 0 && name != nullptr && data != nullptr) {
            std::string text(data, length);
            while (!text.empty() && text.back() == '\0') {
                text.pop_back();
            }
            values.emplace(name, std::move(text));
        }
    }
    return values;
}

// libblkid's names where the device can be read, udev's (ID_FS_TYPE,
// ID_PART_TABLE_TYPE, ...) otherwise, under libblkid's names.
Values deviceValues(const BlockTree& tree, const std::string& name, const UniqueFd& fd, bool superblocks)
{
    if (fd) {
        return probeValues(fd.get(), superblocks);
    }
    Values values;
    const auto record = udevRecord(tree, name);
    const std::array<std::pair<const char*, const char*>, 5> keys = {{{"ID_PART_TABLE_TYPE", "PTTYPE"},
                                                                      {"ID_PART_ENTRY_TYPE", "PART_ENTRY_TYPE"},
                                                                      {"ID_FS_TYPE", "TYPE"},
                                                                      {"ID_FS_VERSION", "VERSION"},
                                                                      {"ID_FS_LABEL", "LABEL"}}};
    for (const auto& [udevKey, blkidKey] : keys) {
        if (const auto found = record.find(udevKey); found != record.end()) {
            values.emplace(blkidKey, found->second);
        }
    }
    return values;
}

std::string valueOf(const Values& values, const char* key)
{
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

UniqueFd openForReading(const BlockTree& tree, const std::string& name)
{
    return UniqueFd(::open(tree.node(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

} // namespace

DiskLayout readDiskLayout(const BlockTree& tree, const std::string& disk)
{
    DiskLayout layout;
    const UniqueFd fd = openForReading(tree, disk);
    // The table alone: every listing asks about every disk, and looking for
    // each file system's signature would read all over it.
    layout.tableType = valueOf(deviceValues(tree, disk, fd, false), "PTTYPE");
    layout.partitionCount = tree.partitionsOf(disk).size();
    if (fd) {
        const unsigned sector = tree.logicalBlockSize(disk);
        std::array<char, 8> signature{};
        const ssize_t count = ::pread(fd.get(), signature.data(), signature.size(), static_cast<off_t>(sector));
        layout.gptHeader = count == static_cast<ssize_t>(signature.size())
                           && std::memcmp(signature.data(), "EFI PART", signature.size()) == 0;
    }
    return layout;
}

PartitionLayout readPartitionLayout(const BlockTree& tree, const std::string& partition)
{
    PartitionLayout layout;
    // sysfs counts the start in 512-byte units whatever the sector size.
    const std::string start = tree.attribute(partition, "start").value_or("");
    std::uint64_t units = 0;
    std::from_chars(start.data(), start.data() + start.size(), units);
    layout.offset = units * 512;

    const UniqueFd fd = openForReading(tree, partition);
    const Values values = deviceValues(tree, partition, fd, true);
    // An MBR entry's type as libblkid writes it: "0xc".
    const std::string type = valueOf(values, "PART_ENTRY_TYPE");
    unsigned parsed = 0;
    if (type.starts_with("0x")) {
        const auto [end, error] = std::from_chars(type.data() + 2, type.data() + type.size(), parsed, 16);
        if (error == std::errc() && end == type.data() + type.size()) {
            layout.mbrType = parsed;
        }
    }
    layout.fsType = valueOf(values, "TYPE");
    layout.fsVersion = valueOf(values, "VERSION");
    layout.label = valueOf(values, "LABEL");
    return layout;
}

} // namespace sarnovelle::standin
