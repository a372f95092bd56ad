#pragma once

#include "linux/diskutil/Backend.h"

#include <string>

namespace sarnovelle::standin {

// Neither udisks2 nor root: every change is refused with one line that
// says what the machine lacks, before anything is touched.
class NullBackend final : public Backend {
public:
    // Why udisks2 could not be used (the bus' or the service's own words).
    explicit NullBackend(std::string udisksProblem) : udisksProblem_(std::move(udisksProblem)) {}

    int partitionDisk(const Context& context, const PartitionRequest& request) override;
    int mount(const Context& context, const std::string& identifier, MountAccess access) override;
    int unmount(const Context& context, const std::string& identifier) override;
    int eject(const Context& context, const std::string& identifier) override;

private:
    [[noreturn]] void refuse(const std::string& verb) const;
    std::string udisksProblem_;
};

} // namespace sarnovelle::standin
