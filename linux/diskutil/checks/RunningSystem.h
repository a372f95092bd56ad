#pragma once

#include "linux/diskutil/Context.h"
#include "linux/diskutil/checks/SystemDisks.h"

#include <vector>

namespace sarnovelle::standin {

// The mount table the running system's disks are judged by. Where one of
// the system's places shows an automount point with nothing on top (an
// idle systemd automount at /boot or /efi), the place is accessed first
// and the table read again, until no new one shows up. Throws MakerError
// when the table cannot be read whole (see readMountInfo).
std::vector<MountEntry> readSystemMountTable(const Context& context);

struct RunningSystem {
    std::vector<MountEntry> table;
    std::vector<SwapEntry> swaps;
    SystemStores stores;
};

// The running system's disks from that table and the swap list. Throws
// MakerError with one line when they cannot be read or one of the
// system's places stands on disks that cannot be found: nothing may then
// be changed, and `info -plist /` fails.
RunningSystem readRunningSystem(const Context& context, const BlockTree& tree);

} // namespace sarnovelle::standin
