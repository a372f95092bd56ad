#include "linux/diskutil/devices/Identifier.h"

#include "core/MakerError.h"

#include <charconv>

namespace sarnovelle::standin {

bool isPlainName(std::string_view name)
{
    if (name.empty() || name.size() > 64 || name.front() == '-') {
        return false;
    }
    for (const char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

std::string printable(std::string_view text)
{
    std::string shown;
    for (const char c : text.substr(0, 200)) {
        const auto byte = static_cast<unsigned char>(c);
        shown.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
    }
    return shown;
}

std::string identifierArgument(std::string_view argument)
{
    std::string_view name = argument;
    if (name.starts_with("/dev/")) {
        name.remove_prefix(5);
    }
    if (!isPlainName(name)) {
        throw MakerError("Invalid disk identifier: \"" + printable(argument)
                         + "\" is not the name of a block device.");
    }
    return std::string(name);
}

std::string resolveDevice(const BlockTree& tree, const std::string& identifier)
{
    // "<disk>s<N>": the partition form the callers build from a whole
    // disk. It is read that way whenever <disk> is a whole disk, even when
    // the kernel has a device of the same name: with 45 sd disks "sdas1"
    // is partition 1 of sda, not partition 1 of sdas.
    const auto s = identifier.rfind('s');
    if (s != std::string::npos && s > 0 && s + 1 < identifier.size()) {
        const std::string disk = identifier.substr(0, s);
        const std::string_view digits = std::string_view(identifier).substr(s + 1);
        unsigned number = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc() && end == digits.data() + digits.size() && number > 0 && tree.exists(disk)
            && !tree.isPartition(disk)) {
            if (auto partition = tree.partitionNumbered(disk, number)) {
                return *partition;
            }
            if (tree.exists(identifier)) {
                // The partition the caller most likely means is not there
                // (yet); the kernel's device of that name is another disk's.
                throw MakerError("The identifier " + identifier + " is ambiguous: " + disk + " has no partition "
                                 + std::to_string(number) + ", and " + identifier + " is another device ("
                                 + tree.wholeDiskOf(identifier) + "); it is not used.");
            }
        }
    }
    if (tree.exists(identifier)) {
        return identifier;
    }
    throw MakerError("Could not find disk: " + identifier);
}

} // namespace sarnovelle::standin
