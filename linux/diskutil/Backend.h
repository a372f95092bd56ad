#pragma once

#include "linux/diskutil/Context.h"
#include "linux/diskutil/PartitionRequest.h"

#include <memory>
#include <string>

namespace sarnovelle::standin {

// Thrown when a change needs administrator rights that the program lacks;
// the invocation may then be run again with them.
struct PrivilegesNeeded {
    std::string command;
};

// How a volume is mounted: read-only for a check that must not change a
// byte (and works on a write-protected stick too).
enum class MountAccess { readWrite, readOnly };

// The four verbs that change disks, carried out by one way of reaching the
// disks: udisks2 on the system bus, the kernel directly (as root), or none.
// Arguments arrive checked (identifier shapes, the partitionDisk request);
// each verb prints its progress lines with context.say, returns 0 on
// success and throws MakerError with the user's line on failure.
class Backend {
public:
    Backend() = default;
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;
    virtual ~Backend() = default;

    virtual int partitionDisk(const Context& context, const PartitionRequest& request) = 0;
    // `identifier` as given: "sdb1", "/dev/sdb1" or "sdbs1". A volume
    // mounted already keeps its mount, whatever `access` asks.
    virtual int mount(const Context& context, const std::string& identifier, MountAccess access) = 0;
    virtual int unmount(const Context& context, const std::string& identifier) = 0;
    virtual int eject(const Context& context, const std::string& identifier) = 0;
};

// udisks2 when it answers on the system bus (context.systemBus, through the
// module at context.udisksModule), otherwise
// the kernel when the program runs as root, otherwise the backend that
// refuses every change with the line saying what is missing.
std::unique_ptr<Backend> chooseBackend(const Context& context);

} // namespace sarnovelle::standin
