#include "linux/diskutil/devices/BlockTree.h"

#include "linux/diskutil/devices/Files.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <system_error>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

namespace {

std::optional<unsigned> parseUnsigned(std::string_view text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> parseU64(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<DevNumber> parseDevNumber(const std::string& text)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto major = parseUnsigned(std::string_view(text).substr(0, colon));
    const auto minor = parseUnsigned(std::string_view(text).substr(colon + 1));
    if (!major || !minor) {
        return std::nullopt;
    }
    return DevNumber{*major, *minor};
}

bool BlockTree::exists(const std::string& name) const
{
    std::error_code error;
    return !name.empty() && fs::is_directory(entry(name), error);
}

bool BlockTree::isPartition(const std::string& name) const
{
    std::error_code error;
    return fs::exists(entry(name) / "partition", error);
}

std::string BlockTree::wholeDiskOf(const std::string& name) const
{
    if (!isPartition(name)) {
        return name;
    }
    // A partition's folder sits inside its disk's folder.
    const auto folder = deviceFolder(name);
    if (!folder) {
        return name;
    }
    std::string parent = folder->parent_path().filename().string();
    return exists(parent) ? parent : name;
}

std::vector<std::string> BlockTree::partitionsOf(const std::string& disk) const
{
    std::vector<std::pair<unsigned, std::string>> found;
    const auto folder = deviceFolder(disk);
    if (!folder) {
        return {};
    }
    std::error_code error;
    for (fs::directory_iterator it(*folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const auto number = readAttribute(it->path() / "partition");
        if (!number || !exists(name)) {
            continue;
        }
        if (const auto value = parseUnsigned(*number)) {
            found.emplace_back(*value, name);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& [number, name] : found) {
        names.push_back(std::move(name));
    }
    return names;
}

std::optional<std::string> BlockTree::partitionNumbered(const std::string& disk, unsigned number) const
{
    for (const auto& name : partitionsOf(disk)) {
        if (attribute(name, "partition") == std::to_string(number)) {
            return name;
        }
    }
    return std::nullopt;
}

std::uint64_t BlockTree::sizeBytes(const std::string& name) const
{
    const auto text = attribute(name, "size");
    const auto sectors = text ? parseU64(*text) : std::nullopt;
    if (!sectors || *sectors > UINT64_MAX / 512) {
        return 0;
    }
    return *sectors * 512;
}

unsigned BlockTree::logicalBlockSize(const std::string& disk) const
{
    const auto text = attribute(disk, "queue/logical_block_size");
    const auto size = text ? parseUnsigned(*text) : std::nullopt;
    return size && *size >= 512 ? *size : 512;
}

std::optional<std::string> BlockTree::attribute(const std::string& name, const std::string& relative) const
{
    return readAttribute(entry(name) / relative);
}

std::optional<DevNumber> BlockTree::devNumber(const std::string& name) const
{
    const auto text = attribute(name, "dev");
    return text ? parseDevNumber(*text) : std::nullopt;
}

std::vector<std::string> BlockTree::slaves(const std::string& name) const { return linked(name, "slaves"); }

std::vector<std::string> BlockTree::holders(const std::string& name) const { return linked(name, "holders"); }

std::vector<std::string> BlockTree::linked(const std::string& name, const char* folder) const
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(entry(name) / folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> BlockTree::allNames() const
{
    std::vector<std::pair<DevNumber, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(roots_.sysfs / "class/block", error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        found.emplace_back(devNumber(name).value_or(DevNumber{~0U, ~0U}), std::move(name));
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& [number, name] : found) {
        names.push_back(std::move(name));
    }
    return names;
}

std::optional<std::string> BlockTree::byDevNumber(DevNumber number) const
{
    for (const auto& name : allNames()) {
        if (devNumber(name) == number) {
            return name;
        }
    }
    return std::nullopt;
}

std::optional<std::string> BlockTree::byMapperName(const std::string& mapperName) const
{
    for (const auto& name : allNames()) {
        if (attribute(name, "dm/name") == mapperName) {
            return name;
        }
    }
    return std::nullopt;
}

std::optional<fs::path> BlockTree::deviceFolder(const std::string& name) const
{
    std::error_code error;
    auto folder = fs::canonical(entry(name), error);
    if (error) {
        return std::nullopt;
    }
    return folder;
}

DevNumber devNumberOf(const struct stat& info) { return DevNumber{::major(info.st_rdev), ::minor(info.st_rdev)}; }

bool BlockTree::isNodeOf(const std::string& name, const struct stat& info) const
{
    return S_ISBLK(info.st_mode) && devNumber(name) == devNumberOf(info);
}

} // namespace sarnovelle::standin
