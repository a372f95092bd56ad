#pragma once

#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TempDir.h"

#include "core/Bytes.h"
#include "disks/UsbDisks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sarnovelle::test {

// A stick disk4 (and another USB disk, disk3) behind the fake disk
// utility, with the stick simulated; each test runs makeUsb against it.
class MakeUsbScenario : public ::testing::Test {
protected:
    MakeUsbScenario();

    // Runs makeUsb with `chosen`, `image` and `imageHash`, collecting
    // the log in `lines`.
    void run();
    // Runs makeUsb and returns the MakerError's message.
    std::string failure();

    static Arguments partitionCommand();
    // The queries of one listing of this scenario.
    static std::vector<Arguments> listing();
    static std::vector<std::string> partitionLines();
    std::string volume(const std::string& leaf) const;

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
    // What makeUsb runs against: the fake utility and the fake sysfs.
    DiskEnv env = fake.env();
    UsbDisk chosen{"disk4", "SanDisk Ultra", 16'008'609'792, "4C530001"};
    Bytes image;
    std::string imageHash;
    std::vector<std::string> lines;
};

} // namespace sarnovelle::test
