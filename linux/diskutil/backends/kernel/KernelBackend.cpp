#include "linux/diskutil/backends/kernel/KernelBackend.h"

#include "linux/diskutil/backends/kernel/Partition.h"
#include "linux/diskutil/backends/kernel/Volumes.h"

namespace sarnovelle::standin {

int KernelBackend::partitionDisk(const Context& context, const PartitionRequest& request)
{
    return partitionWithKernel(context, request);
}

int KernelBackend::mount(const Context& context, const std::string& identifier, MountAccess access)
{
    return mountCommand(context, identifier, access);
}

int KernelBackend::unmount(const Context& context, const std::string& identifier)
{
    return unmountCommand(context, identifier);
}

int KernelBackend::eject(const Context& context, const std::string& identifier)
{
    return ejectCommand(context, identifier);
}

} // namespace sarnovelle::standin
