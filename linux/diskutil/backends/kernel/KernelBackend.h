#pragma once

#include "linux/diskutil/Backend.h"

namespace sarnovelle::standin {

// The disks changed through the kernel's own interfaces (libfdisk, libblkid,
// mkfs.fat, mount(2), sysfs), which needs root.
class KernelBackend final : public Backend {
public:
    int partitionDisk(const Context& context, const PartitionRequest& request) override;
    int mount(const Context& context, const std::string& identifier, MountAccess access) override;
    int unmount(const Context& context, const std::string& identifier) override;
    int eject(const Context& context, const std::string& identifier) override;
};

} // namespace sarnovelle::standin
