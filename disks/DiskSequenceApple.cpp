#include "disks/UsbDisks.h"

namespace sarnovelle {

// The platform numbers no attaches; the serial number and size identify
// the disk.
std::optional<std::uint64_t> diskSequence(const DiskEnv&, const std::string&)
{
    return std::nullopt;
}

} // namespace sarnovelle
