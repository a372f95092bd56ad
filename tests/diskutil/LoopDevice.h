#pragma once

#include "core/UniqueFd.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace sarnovelle::test {

// A loop device over a sparse file, with partition scanning on, detached
// when the object goes (unless something detached it before).
class LoopDevice {
public:
    // Absent, with the reason in `whyNot`, when the machine cannot make
    // one (not root, no /dev/loop-control).
    static std::optional<LoopDevice> attach(const std::filesystem::path& backingFile, std::string& whyNot);

    LoopDevice(LoopDevice&&) = default;
    LoopDevice& operator=(LoopDevice&&) = default;
    ~LoopDevice();

    const std::string& name() const { return name_; } // loop7
    std::string node() const { return "/dev/" + name_; }
    // Whether the kernel still has a backing file for it.
    bool attached() const;
    // Closes this object's own descriptor, so that the device's other users
    // are the only ones (a detach waits for the last user).
    void closeOwnDescriptor() { fd_.reset(); }

private:
    LoopDevice() = default;
    std::string name_;
    UniqueFd fd_;
};

} // namespace sarnovelle::test
