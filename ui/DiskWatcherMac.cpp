// macOS: no watcher yet, so the window lists the disks on Refresh only.
// The source to use is DiskArbitration (DARegisterDiskAppearedCallback and
// DARegisterDiskDisappearedCallback on a session scheduled on the main run
// loop, matching whole, removable media), each callback emitting
// disksMayHaveChanged.
#include "ui/DiskWatcher.h"

namespace sarnovelle {

std::unique_ptr<DiskWatcher> makeDiskWatcher()
{
    return nullptr;
}

} // namespace sarnovelle
