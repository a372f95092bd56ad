#include "linux/diskutil/devices/Udev.h"

#include "linux/diskutil/devices/Probe.h"

#include <fstream>

namespace sarnovelle::standin {

std::string udevProperty(const BlockTree& tree, const std::string& device, const std::string& key)
{
    const auto number = tree.devNumber(device);
    if (!number) {
        return {};
    }
    std::ifstream record(tree.roots().udevData
                         / ("b" + std::to_string(number->major) + ":" + std::to_string(number->minor)));
    const std::string prefix = "E:" + key + "=";
    for (std::string line; std::getline(record, line);) {
        if (line.starts_with(prefix)) {
            return line.substr(prefix.size());
        }
    }
    return {};
}

std::optional<std::string> zfsPoolOfMember(const BlockTree& tree, const std::string& device)
{
    std::string type = udevProperty(tree, device, "ID_FS_TYPE");
    std::string label = udevProperty(tree, device, "ID_FS_LABEL");
    if (type.empty()) {
        const FilesystemProbe probe = probeFilesystem(tree.node(device), "zfs_member");
        type = probe.type;
        label = probe.label;
    }
    if (type != "zfs_member") {
        return std::nullopt;
    }
    return label;
}

} // namespace sarnovelle::standin
