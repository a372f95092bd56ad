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

std::string firstPartitionId(const std::string& wholeDisk)
{
#ifdef __APPLE__
    return wholeDisk + "s1";
#else
    const bool endsInDigit = !wholeDisk.empty() && wholeDisk.back() >= '0' && wholeDisk.back() <= '9';
    return wholeDisk + (endsInDigit ? "p1" : "1");
#endif
}

} // namespace sarnovelle
