#pragma once

#include "FakeDiskutil.h"
#include "FakeSysfs.h"

namespace sarnovelle::test {

// Two USB sticks behind the fake disk utility, the system on disk0:
//   disk3  "Other stick"    8,000,000,000 bytes, serial OTHER
//   disk4  "SanDisk Ultra"  16,008,609,792 bytes, serial 4C530001
// with disk4 simulated as a real stick (partition, mount, eject).
void addTwoSticks(FakeDiskutil& fake, FakeSysfs& sysfs);

} // namespace sarnovelle::test
