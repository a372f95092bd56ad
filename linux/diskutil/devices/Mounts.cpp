#include "linux/diskutil/devices/Mounts.h"

#include "core/MakerError.h"
#include "core/UniqueFd.h"
#include "linux/diskutil/devices/Files.h"
#include "linux/diskutil/devices/Identifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Undoes the kernel's octal escapes (\040 blank, \011 tab, \012 line
// break, \134 backslash). The kernel escapes every backslash, so any
// backslash starts one.
std::optional<std::string> unescape(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            text.push_back(field[i]);
            continue;
        }
        if (i + 3 >= field.size() || !isOctal(field[i + 1]) || !isOctal(field[i + 2]) || !isOctal(field[i + 3])) {
            return std::nullopt;
        }
        const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
        if (value == 0 || value > 0xFF) {
            return std::nullopt;
        }
        text.push_back(static_cast<char>(value));
        i += 3;
    }
    return text;
}

// The fields of one mountinfo line: the kernel puts exactly one blank
// between two fields, so an empty field (an empty source) stays a field.
std::vector<std::string_view> singleBlankFields(std::string_view line)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto blank = line.find(' ', start);
        parts.push_back(line.substr(start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
        if (blank == std::string_view::npos) {
            return parts;
        }
        start = blank + 1;
    }
}

bool isNumber(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// id parent major:minor root mount-point options [optional...] - type source super-options
std::optional<MountEntry> parseLine(std::string_view line)
{
    const auto parts = singleBlankFields(line);
    if (parts.size() < 10 || !isNumber(parts[0]) || !isNumber(parts[1])) {
        return std::nullopt;
    }
    const auto dash = std::find(parts.begin() + 6, parts.end(), "-");
    if (dash == parts.end() || parts.end() - dash != 4) {
        return std::nullopt;
    }
    // Only the source may be empty; an empty field anywhere else means a
    // blank too many.
    for (auto it = parts.begin(); it != parts.end(); ++it) {
        if (it->empty() && it != dash + 2) {
            return std::nullopt;
        }
    }
    const auto device = parseDevNumber(std::string(parts[2]));
    auto root = unescape(parts[3]);
    auto mountPoint = unescape(parts[4]);
    auto fsType = unescape(*(dash + 1));
    auto source = unescape(*(dash + 2));
    if (!device || !root || !mountPoint || !fsType || !source || !mountPoint->starts_with('/') || fsType->empty()) {
        return std::nullopt;
    }
    return MountEntry{*device, std::move(*root), std::move(*mountPoint), std::move(*fsType), std::move(*source),
                      std::string(*(dash + 3))};
}

// Reads a kernel list whole, however long it is. Absent, with the error
// number, when it cannot be read.
std::optional<std::string> readKernelList(const fs::path& path, int& error)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        error = errno;
        return std::nullopt;
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            return text;
        } else if (errno != EINTR) {
            error = errno;
            return std::nullopt;
        }
    }
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

// Whether the kernel lists the device as a member of a mounted btrfs
// file system.
bool isBtrfsMember(const BlockTree& tree, const std::string& device)
{
    std::error_code error;
    for (fs::directory_iterator it(tree.roots().sysfs / "fs/btrfs", error), end; !error && it != end;
         it.increment(error)) {
        std::error_code inner;
        if (fs::exists(it->path() / "devices" / device, inner)) {
            return true;
        }
    }
    return false;
}

// The device a mount stands on, by its device number. Only btrfs shows an
// anonymous number for a file system on block devices; its source then
// counts when the kernel lists that device among a btrfs file system's
// members. Any other source string (a FUSE program chooses its own) says
// nothing.
std::optional<std::string> deviceOfMount(const BlockTree& tree, const MountEntry& entry)
{
    // Major 0 is the kernel's range of anonymous numbers, which no block
    // device has: proc, sysfs, tmpfs, FUSE and the like need no search.
    if (entry.device.major != 0) {
        // A real number the kernel no longer lists is a pulled disk's.
        return tree.byDevNumber(entry.device);
    }
    if (entry.fsType != "btrfs") {
        return std::nullopt;
    }
    auto device = deviceOfPath(tree, entry.source);
    if (device && isBtrfsMember(tree, *device)) {
        return device;
    }
    return std::nullopt;
}

// The table, or what is wrong with it.
std::optional<std::vector<MountEntry>> parseTable(const std::string& text, std::string& problem)
{
    if (text.empty()) {
        problem = "it is empty";
        return std::nullopt;
    }
    if (!text.ends_with('\n')) {
        problem = "it ends in the middle of a line";
        return std::nullopt;
    }
    std::vector<MountEntry> table;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const auto end = text.find('\n', start);
        ++number;
        auto entry = parseLine(std::string_view(text).substr(start, end - start));
        if (!entry) {
            problem = "line " + std::to_string(number) + " is not understood";
            return std::nullopt;
        }
        table.push_back(std::move(*entry));
        start = end + 1;
    }
    return table;
}

} // namespace

std::vector<MountEntry> parseMountInfo(const std::string& text)
{
    std::string problem;
    auto table = parseTable(text, problem);
    if (!table) {
        throw MakerError("The mount table is not understood: " + problem + ".");
    }
    return std::move(*table);
}

std::vector<MountEntry> readMountInfo(const Roots& roots)
{
    const fs::path path = roots.proc / "self/mountinfo";
    int error = 0;
    std::string problem;
    const auto text = readKernelList(path, error);
    auto table = text ? parseTable(*text, problem) : std::nullopt;
    if (!text) {
        problem = errorText(error);
    }
    if (!table) {
        throw MakerError("Could not read the mount table " + path.string() + " (" + problem
                         + "); the disks of the running system are unknown.");
    }
    return std::move(*table);
}

std::vector<SwapEntry> readSwaps(const Roots& roots)
{
    const fs::path path = roots.proc / "swaps";
    int error = 0;
    const auto text = readKernelList(path, error);
    if (!text) {
        if (error == ENOENT) {
            return {}; // a kernel without swap support
        }
        throw MakerError("Could not read the swap list " + path.string() + " (" + errorText(error)
                         + "); the disks of the running system are unknown.");
    }
    std::vector<SwapEntry> swaps;
    std::istringstream lines(*text);
    std::string line;
    std::getline(lines, line); // the heading
    while (std::getline(lines, line)) {
        const auto parts = fields(line);
        const auto file = parts.empty() ? std::nullopt : unescape(parts[0]);
        if (parts.size() < 2 || !file) {
            throw MakerError("Could not read the swap list " + path.string()
                             + " (a line is not understood); the disks of the running system are unknown.");
        }
        swaps.push_back(SwapEntry{*file, parts[1]});
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
    const std::optional<std::string> device = deviceOfMount(tree, entry);
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

std::vector<MountEntry> mountsAt(const std::vector<MountEntry>& table, const std::string& mountPoint)
{
    std::vector<MountEntry> found;
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        if (it->mountPoint == mountPoint) {
            found.push_back(*it);
        }
    }
    return found;
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
        const bool same = entry.device.major == 0 ? deviceOfMount(tree, entry) == name
                                                  : number && entry.device == *number;
        if (same) {
            found.push_back(entry);
        }
    }
    std::stable_partition(found.begin(), found.end(), [](const MountEntry& entry) { return entry.root == "/"; });
    return found;
}

} // namespace sarnovelle::standin
