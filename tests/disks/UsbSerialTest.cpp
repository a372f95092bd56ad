#include "FakeSysfs.h"
#include "TempDir.h"

#include "disks/UsbDisks.h"

#include <gtest/gtest.h>

namespace sarnovelle::test {
namespace {

class UsbSerialTest : public ::testing::Test {
protected:
    TempDir dir;
    FakeSysfs sysfs{dir / "sys"};

    std::string serialOf(const std::string& id) const
    {
        DiskEnv env;
        env.sysfsRoot = sysfs.root().string();
        return usbSerial(env, id);
    }
};

TEST_F(UsbSerialTest, TakesTheSerialOfTheFirstUsbDeviceAbove)
{
    // devices/usb1/1-1 is the stick, two levels above the block device's
    // own folder (its interface 1-1:1.0 between them).
    const auto device = sysfs.blockDevice("sdb", "usb1/1-1/1-1:1.0");
    sysfs.attribute("usb1/1-1", "idVendor", "0781\n");
    sysfs.attribute("usb1/1-1", "serial", "4C530001230512115032\n");
    sysfs.attribute(device, "bInterfaceClass", "08\n");
    EXPECT_EQ(serialOf("sdb"), "4C530001230512115032");
}

TEST_F(UsbSerialTest, FindsTheStickInAFullDeviceTree)
{
    sysfs.usbDisk("sdb", "AA00000000000489\n");
    sysfs.usbDisk("sdc", "0123456789ABCDEF\n");
    EXPECT_EQ(serialOf("sdb"), "AA00000000000489");
    EXPECT_EQ(serialOf("sdc"), "0123456789ABCDEF");
}

TEST_F(UsbSerialTest, DiskWithoutUsbDeviceAboveHasNoSerial)
{
    sysfs.sataDisk("sda");
    EXPECT_EQ(serialOf("sda"), "");
}

// A stick without a serial number sits below a root hub that has one (the
// controller's address); that is not the disk's serial.
TEST_F(UsbSerialTest, StickWithoutSerialDoesNotBorrowTheHubs)
{
    sysfs.usbDisk("sdb", std::nullopt);
    EXPECT_EQ(serialOf("sdb"), "");
}

TEST_F(UsbSerialTest, BlanksAroundTheSerialAreRemoved)
{
    sysfs.usbDisk("sdb", " \t SER 42 \t  \n");
    EXPECT_EQ(serialOf("sdb"), "SER 42");
    // Only the kernel's own line feed ends the attribute; a line break that
    // is part of the value stays.
    sysfs.usbDisk("sdc", "SER43\n\n");
    EXPECT_EQ(serialOf("sdc"), "SER43\n");
    sysfs.usbDisk("sdd", "");
    EXPECT_EQ(serialOf("sdd"), "");
}

TEST_F(UsbSerialTest, MissingOrOddEntriesGiveNoSerial)
{
    sysfs.usbDisk("sdb", "SER1\n");
    EXPECT_EQ(serialOf("sdz"), "");
    EXPECT_EQ(serialOf("../block/sdb"), "");
    EXPECT_EQ(serialOf(""), "");

    DiskEnv missingRoot;
    missingRoot.sysfsRoot = (dir / "no-such-sys").string();
    EXPECT_EQ(usbSerial(missingRoot, "sdb"), "");
}

} // namespace
} // namespace sarnovelle::test
