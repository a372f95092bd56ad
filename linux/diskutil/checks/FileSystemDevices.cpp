#include "linux/diskutil/checks/FileSystemDevices.h"

#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/devices/Udev.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

bool isDiskBacked(const std::string& fsType)
{
    constexpr std::array<std::string_view, 13> elsewhere{
        "tmpfs", "ramfs", "rootfs", "proc", "sysfs", "devtmpfs", "nfs", "nfs4", "cifs", "smb3", "9p", "virtiofs", "fuse",
    };
    return !(fsType.starts_with("fuse.") || std::find(elsewhere.begin(), elsewhere.end(), fsType) != elsewhere.end());
}

std::vector<std::string> zfsPoolMembers(const BlockTree& tree, const std::string& dataset)
{
    const std::string pool = dataset.substr(0, dataset.find_first_of("/@"));
    std::vector<std::string> members;
    if (pool.empty()) {
        return members;
    }
    for (const auto& name : tree.allNames()) {
        if (zfsPoolOfMember(tree, name) == pool) {
            members.push_back(name);
        }
    }
    return members;
}

std::optional<std::vector<std::string>> soleBtrfsDevices(const BlockTree& tree)
{
    // Besides one folder per mounted file system, the kernel keeps the
    // folder "features" there; anything else counts as a file system, so
    // that an entry not understood makes the answer unknown.
    std::vector<fs::path> systems;
    std::error_code error;
    for (fs::directory_iterator it(tree.roots().sysfs / "fs/btrfs", error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename() != "features") {
            systems.push_back(it->path());
        }
    }
    if (error || systems.size() != 1) {
        return std::nullopt;
    }
    std::vector<std::string> devices;
    for (fs::directory_iterator it(systems.front() / "devices", error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (!isPlainName(name)) {
            return std::nullopt;
        }
        devices.push_back(std::move(name));
    }
    if (error || devices.empty()) {
        return std::nullopt;
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

} // namespace sarnovelle::standin
