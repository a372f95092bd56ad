#include "FakeDiskutil.h"
#include "TempDir.h"

#include "core/MakerError.h"
#include "maker/MountWait.h"

#include <gtest/gtest.h>

#include <chrono>

namespace sarnovelle::test {
namespace {

using Clock = std::chrono::steady_clock;

const Arguments query{"info", "-plist", "disk4s1"};

PlistDict partition(const std::string& filesystem, const std::string& mountPoint)
{
    PlistDict info;
    info.setText("FilesystemType", filesystem);
    info.setText("MountPoint", mountPoint);
    return info;
}

TEST(WaitForMount, ReturnsAtOnceWhenMounted)
{
    TempDir dir;
    FakeDiskutil fake(dir / "scenario");
    fake.answer(query, partition("msdos", "/Volumes/SARNOVELLE/"));
    EXPECT_EQ(waitForMount(fake.env(), "disk4s1"), "/Volumes/SARNOVELLE/");
    EXPECT_EQ(fake.invocations(), std::vector<Arguments>{query});
}

// Every kind of unsuccessful query only costs one pause.
TEST(WaitForMount, PausesAfterEachUnsuccessfulQuery)
{
    TempDir dir;
    FakeDiskutil fake(dir / "scenario");
    PlistDict noMountPoint;
    noMountPoint.setText("FilesystemType", "msdos");
    PlistDict mountPointNumber;
    mountPointNumber.setText("FilesystemType", "msdos");
    mountPointNumber.setNumber("MountPoint", 1);
    fake.answer(query, std::vector<FakeAnswer>{
                           {"Could not find disk: disk4s1\n", 1, false},
                           {"not a property list", 0, false},
                           {partition("MSDOS", "/Volumes/SARNOVELLE").toXml(), 0, false},
                           {noMountPoint.toXml(), 0, false},
                           {mountPointNumber.toXml(), 0, false},
                           {partition("msdos", "").toXml(), 0, false},
                           {partition("msdos", "/Volumes/SARNOVELLE 1").toXml(), 0, false},
                       });
    const auto start = Clock::now();
    EXPECT_EQ(waitForMount(fake.env(), "disk4s1"), "/Volumes/SARNOVELLE 1");
    EXPECT_GE(Clock::now() - start, 6 * mountWaitPause);
    EXPECT_EQ(fake.count(query), 7);
}

} // namespace
} // namespace sarnovelle::test
