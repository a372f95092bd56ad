#include "linux/diskutil/PartitionRequest.h"

#include "core/MakerError.h"
#include "linux/diskutil/devices/Identifier.h"

namespace sarnovelle::standin {

namespace {

std::string upper(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

} // namespace

PartitionRequest parsePartitionRequest(const std::vector<std::string>& arguments)
{
    const auto unsupported = [] {
        return MakerError("partitionDisk: unsupported arguments; the one supported form is "
                          "partitionDisk /dev/<disk> MBR \"MS-DOS FAT32\" <name> <sectors>S \"Free Space\" none R");
    };
    PartitionRequest request;
    if (!arguments.empty()) {
        request.disk = identifierArgument(arguments[0]);
    }
    if (arguments.size() != 8 || arguments[1] != "MBR" || arguments[2] != "MS-DOS FAT32"
        || arguments[5] != "Free Space" || arguments[6] != "none" || arguments[7] != "R") {
        throw unsupported();
    }

    const std::string& label = arguments[3];
    const bool labelOk = !label.empty() && label.size() <= 11 && label.front() != ' '
                         && label.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 _-")
                                == std::string::npos;
    if (!labelOk) {
        throw MakerError("partitionDisk: \"" + printable(label)
                         + "\" is no FAT32 volume name (1 to 11 letters, digits, blanks, \"_\" or \"-\").");
    }
    request.label = upper(label);

    const std::string& size = arguments[4];
    if (size.size() < 2 || size.size() > 16 || size.back() != 'S'
        || size.find_first_not_of("0123456789") != size.size() - 1) {
        throw unsupported();
    }
    request.sectors = std::stoull(size.substr(0, size.size() - 1));
    if (request.sectors == 0) {
        throw unsupported();
    }
    return request;
}

} // namespace sarnovelle::standin
