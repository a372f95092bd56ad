#include "disks/DiskName.h"

#include <algorithm>

namespace sarnovelle {

bool isPlainDiskName(std::string_view identifier)
{
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    return !identifier.empty() && std::all_of(identifier.begin(), identifier.end(), plain);
}

} // namespace sarnovelle
