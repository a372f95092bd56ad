#pragma once

#include "TempDir.h"

#include <sys/types.h>

#include <string>

namespace sarnovelle::test {

// A session bus of the window's tests' own: a real dbus-daemon child on a
// socket in a temporary folder, where anyone may own a name and nothing is
// started by activation, so that no test reaches the desktop's services.
// The daemon ends with this object, or with the test program.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The daemon's address, for DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }

private:
    TempDir folder_;
    pid_t daemon_ = -1;
    std::string address_;
};

} // namespace sarnovelle::test
