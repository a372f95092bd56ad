#pragma once

#include "linux/diskutil/backends/udisks/GlibHandles.h"

#include <udisks/udisks.h>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sarnovelle::standin {

// The udisks2 service as seen over one D-Bus connection: its objects
// (block devices, drives) kept current from the service's signals, which
// arrive while the program waits in settle() or waitFor().
class UdisksBus {
public:
    // Connects to the bus at `address` (empty: the system bus) and to the
    // udisks2 service on it, starting the service by D-Bus activation
    // when it is installed but not running. Empty when either is not
    // there; `problem` then says why in the bus' own words.
    static std::unique_ptr<UdisksBus> connect(const std::string& address, std::string& problem);

    // The block device object with the kernel's device number.
    GObjectPtr<UDisksObject> blockByDevice(dev_t device) const;
    GObjectPtr<UDisksObject> object(const std::string& path) const;
    // The partitions udisks2 lists on the disk object's partition table.
    std::vector<GObjectPtr<UDisksObject>> partitionsOf(const std::string& diskPath) const;

    // Takes in the signals that have arrived.
    void settle() const;
    // Takes in signals until `done` holds or the time is up; tells which.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) const;

private:
    explicit UdisksBus(GObjectPtr<GDBusObjectManager> manager) : manager_(std::move(manager)) {}
    GObjectPtr<GDBusObjectManager> manager_;
};

// The a{sv} options of a udisks2 call, each with
// "auth.no_user_interaction" false: where the site's policy asks for a
// password, the desktop's authentication agent shows its dialog. The
// result is floating; the call it is handed to takes it.
GVariant* udisksOptions(const std::vector<std::pair<const char*, GVariant*>>& extra = {});

// Lets a call that formats or waits for a password take its time (D-Bus'
// default is 25 seconds).
void allowLongCall(gpointer proxy);

// The user's line for a failed udisks2 call about `what` ("partitionDisk
// on sdb"): a refusal of the authorisation and a missing authentication
// agent are told apart, and udisks2's own text is passed through.
std::string udisksFailure(const std::string& what, const GErrorSlot& error);

} // namespace sarnovelle::standin
