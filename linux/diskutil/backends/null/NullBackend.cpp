#include "linux/diskutil/backends/null/NullBackend.h"

#include "core/MakerError.h"

namespace sarnovelle::standin {

void NullBackend::refuse(const std::string& verb) const
{
    std::string line = "Preparing a stick needs the udisks2 service (Debian package udisks2) or root; " + verb
                       + " was not run";
    if (!udisksProblem_.empty()) {
        line += " (udisks2: " + udisksProblem_ + ")";
    }
    throw MakerError(line + ".");
}

int NullBackend::partitionDisk(const Context&, const PartitionRequest&)
{
    refuse("partitionDisk");
}

int NullBackend::mount(const Context&, const std::string&, MountAccess)
{
    refuse("mount");
}

int NullBackend::unmount(const Context&, const std::string&)
{
    refuse("unmount");
}

int NullBackend::eject(const Context&, const std::string&)
{
    refuse("eject");
}

} // namespace sarnovelle::standin
