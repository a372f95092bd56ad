#include "linux/diskutil/devices/Udev.h"

#include "linux/diskutil/devices/Probe.h"

#include <fstream>
#include <map>

namespace sarnovelle::standin {

std::map<std::string, std::string> udevRecord(const BlockTree& tree, const std::string& device)
{
    std::map<std::string, std::string> properties;
    const auto number = tree.devNumber(device);
    if (!number) {
        return properties;
    }
    std::ifstream record(tree.roots().udevData
                         / ("b" + std::to_string(number->major) + ":" + std::to_string(number->minor)));
    for (std::string line; std::getline(record, line);) {
        if (const auto equals = line.find('='); line.starts_with("E:") && equals != std::string::npos) {
            properties.emplace(line.substr(2, equals - 2), line.substr(equals + 1));
        }
    }
    return properties;
}

std::optional<std::string> zfsPoolOfMember(const BlockTree& tree, const std::string& device)
{
    auto properties = udevRecord(tree, device);
    std::string type = std::move(properties["ID_FS_TYPE"]);
    std::string label = std::move(properties["ID_FS_LABEL"]);
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
