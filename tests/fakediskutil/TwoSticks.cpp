#include "TwoSticks.h"

namespace sarnovelle::test {

void addTwoSticks(FakeDiskutil& fake, FakeSysfs& sysfs)
{
    fake.listWholeDisks({"disk3", "disk4"});
    fake.rootVolume("disk0");
    fake.usbDisk("disk3", "Other stick", 8'000'000'000);
    fake.usbDisk("disk4", "SanDisk Ultra", 16'008'609'792);
    sysfs.usbDisk("disk3", "OTHER\n");
    sysfs.usbDisk("disk4", "4C530001\n");
    fake.simulateStick({.disk = "disk4"});
}

} // namespace sarnovelle::test
