#include "linux/diskutil/Mounts.h"

#include "linux/diskutil/Files.h"
#include "linux/diskutil/Identifier.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

namespace {

// Undoes the kernel's octal escapes of blanks, tabs, line breaks and
// backslashes.
std::string unescape(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                text.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
                i += 3;
                continue;
            }
        }
        text.push_back(field[i]);
    }
    return text;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> parts;
    std::istringstream stream(line);
    std::string part;
    while (stream >> part) {
        parts.push_back(part);
    }
    return parts;
}

bool isUnder(const std::string& path, const std::string& mountPoint)
{
    if (mountPoint == "/") {
        return path.starts_with("/");
    }
    return path == mountPoint || (path.starts_with(mountPoint) && path[mountPoint.size()] == '/');
}

} // namespace

std::vector<MountEntry> parseMountInfo(const std::string& text)
{
    std::vector<MountEntry> table;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        const auto parts = fields(line);
        const auto dash = std::find(parts.begin(), parts.end(), "-");
        if (parts.size() < 6 || dash == parts.end() || dash - parts.begin() < 6 || parts.end() - dash < 3) {
            continue;
        }
        const auto device = parseDevNumber(parts[2]);
        if (!device) {
            continue;
        }
        table.push_back(MountEntry{*device, unescape(parts[3]), unescape(parts[4]), unescape(*(dash + 1)),
                                   unescape(*(dash + 2)), parts.end() - dash > 3 ? *(dash + 3) : std::string()});
    }
    return table;
}

std::vector<MountEntry> readMountInfo(const Roots& roots)
{
    return parseMountInfo(readSmallFile(roots.proc / "self/mountinfo").value_or(""));
}

std::vector<SwapEntry> readSwaps(const Roots& roots)
{
    std::vector<SwapEntry> swaps;
    std::istringstream lines(readSmallFile(roots.proc / "swaps").value_or(""));
    std::string line;
    std::getline(lines, line); // the heading
    while (std::getline(lines, line)) {
        const auto parts = fields(line);
        if (parts.size() >= 2) {
            swaps.push_back(SwapEntry{unescape(parts[0]), parts[1]});
        }
    }
    return swaps;
}

std::optional<std::string> deviceOfPath(const BlockTree& tree, const std::string& path)
{
    if (!path.starts_with("/dev/")) {
        return std::nullopt;
    }
    const std::string rest = path.substr(5);
    if (isPlainName(rest) && tree.exists(rest)) {
        return rest;
    }
    if (rest.starts_with("mapper/")) {
        if (auto name = tree.byMapperName(rest.substr(7))) {
            return name;
        }
    }
    // Any other node or link below /dev: ask the node itself.
    if (rest.find("..") != std::string::npos) {
        return std::nullopt;
    }
    struct stat info {};
    if (::stat((tree.roots().dev / rest).c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
        return std::nullopt;
    }
    return tree.byDevNumber(devNumberOf(info));
}

std::vector<std::string> devicesOfMount(const BlockTree& tree, const MountEntry& entry)
{
    // btrfs shows an anonymous device number: its source names one of its
    // devices instead. A real number the kernel no longer lists is a
    // pulled disk's, whose name another disk may have now.
    std::optional<std::string> device = tree.byDevNumber(entry.device);
    if (!device && entry.device.major == 0) {
        device = deviceOfPath(tree, entry.source);
    }
    if (!device) {
        return {};
    }
    std::vector<std::string> devices{*device};
    if (entry.fsType != "btrfs") {
        return devices;
    }
    std::error_code error;
    for (fs::directory_iterator it(tree.roots().sysfs / "fs/btrfs", error), end; !error && it != end;
         it.increment(error)) {
        std::vector<std::string> members;
        std::error_code inner;
        for (fs::directory_iterator member(it->path() / "devices", inner), last; !inner && member != last;
             member.increment(inner)) {
            members.push_back(member->path().filename().string());
        }
        if (std::find(members.begin(), members.end(), *device) == members.end()) {
            continue;
        }
        std::sort(members.begin(), members.end());
        for (auto& member : members) {
            if (member != *device && isPlainName(member)) {
                devices.push_back(std::move(member));
            }
        }
    }
    return devices;
}

std::optional<MountEntry> mountAt(const std::vector<MountEntry>& table, const std::string& mountPoint)
{
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        if (it->mountPoint == mountPoint) {
            return *it;
        }
    }
    return std::nullopt;
}

std::optional<MountEntry> mountHolding(const std::vector<MountEntry>& table, const std::string& path)
{
    std::optional<MountEntry> best;
    for (const auto& entry : table) {
        if (isUnder(path, entry.mountPoint) && (!best || entry.mountPoint.size() >= best->mountPoint.size())) {
            best = entry;
        }
    }
    return best;
}

std::vector<MountEntry> mountsOf(const BlockTree& tree, const std::vector<MountEntry>& table, const std::string& name)
{
    const auto number = tree.devNumber(name);
    std::vector<MountEntry> found;
    for (const auto& entry : table) {
        // A source naming the device counts only where the kernel shows no
        // real device number (btrfs, some mapped devices): a mount left by a
        // pulled disk keeps its old number, and its name may be reused.
        const bool same = (number && entry.device == *number)
                          || (entry.device.major == 0 && deviceOfPath(tree, entry.source) == name);
        if (same) {
            found.push_back(entry);
        }
    }
    std::stable_partition(found.begin(), found.end(), [](const MountEntry& entry) { return entry.root == "/"; });
    return found;
}

} // namespace sarnovelle::standin
