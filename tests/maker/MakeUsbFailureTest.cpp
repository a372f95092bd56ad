#include "MakeUsbScenario.h"

#include "maker/MakeUsb.h"
#include "core/Sha256.h"
#include "maker/MountWait.h"

#include <chrono>
#include <filesystem>
#include <algorithm>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

const std::string changed = "The selected USB disk changed. Click Refresh and select it again.";
const Arguments partitionInfo{"info", "-plist", "disk4p1"};

using MakeUsbFailure = MakeUsbScenario;

bool ran(const std::vector<Arguments>& runs, const std::string& command)
{
    return std::any_of(runs.begin(), runs.end(), [&](const Arguments& a) { return !a.empty() && a[0] == command; });
}

PlistDict mountedAt(const std::string& mountPoint)
{
    PlistDict info;
    info.setText("FilesystemType", "msdos");
    info.setText("MountPoint", mountPoint);
    return info;
}

TEST_F(MakeUsbFailure, ListingFailurePassesThrough)
{
    fake.answer({"list", "-plist", "external", "physical"}, FakeAnswer{"", 1, false});
    EXPECT_EQ(failure(), "diskutil list failed.");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(fake.invocations().size(), 1U);
}

TEST_F(MakeUsbFailure, ChangedDiskStopsBeforeAnythingIsDone)
{
    const UsbDisk original = chosen;
    chosen.id = "disk7";
    EXPECT_EQ(failure(), changed) << "missing from the fresh list";

    chosen = original;
    chosen.serial = "4C530002";
    EXPECT_EQ(failure(), changed) << "another serial";

    chosen = original;
    chosen.size += 512;
    EXPECT_EQ(failure(), changed) << "another size";

    chosen = original;
    chosen.serial = "";
    EXPECT_EQ(failure(), changed) << "serial now present";

    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(fake.invocations().size(), 4 * listing().size());
}

// A disk that stops qualifying (here: now reported as internal) is no
// longer in the fresh list.
TEST_F(MakeUsbFailure, DiskNoLongerACandidate)
{
    PlistDict internal = FakeDiskutil::usbDiskInfo("SanDisk Ultra", 16'008'609'792);
    internal.setBool("Internal", true);
    fake.answer({"info", "-plist", "disk4"}, internal);
    EXPECT_EQ(failure(), changed);
    EXPECT_FALSE(ran(fake.invocations(), "partitionDisk"));

    // The same stick, in use now: said so, not "changed".
    PlistDict used = FakeDiskutil::usbDiskInfo("SanDisk Ultra", 16'008'609'792);
    used.setText("InUseBy", "the loop device loop3");
    fake.answer({"info", "-plist", "disk4"}, used);
    EXPECT_EQ(failure(), "The selected USB disk disk4 is in use by the loop device loop3; nothing was changed.");
    EXPECT_FALSE(ran(fake.invocations(), "partitionDisk"));
}

TEST_F(MakeUsbFailure, PartitioningFailureLogsTheUtilitysLinesFirst)
{
    fake.answer(partitionCommand(), FakeAnswer{"Started partitioning on disk4\nError: -69877: Couldn't open device\n", 1, false});
    EXPECT_EQ(failure(), "diskutil partitionDisk failed (exit 1). See the diskutil lines above.");
    EXPECT_EQ(lines, (std::vector<std::string>{"Erasing disk4 and creating FAT32 partition SARNOVELLE",
                                               "  diskutil: Started partitioning on disk4",
                                               "  diskutil: Error: -69877: Couldn't open device"}));
    EXPECT_EQ(fake.invocations().back(), partitionCommand());
}

// The listing's last query removes the utility, so partitionDisk cannot be
// started: runTool reports -1 and the launch error is logged.
TEST_F(MakeUsbFailure, UtilityThatCannotBeStartedShowsExitMinusOne)
{
    fake.answer({"info", "-plist", "disk4"},
                FakeAnswer{FakeDiskutil::usbDiskInfo("SanDisk Ultra", 16'008'609'792).toXml(), 0, true});
    EXPECT_EQ(failure(), "diskutil partitionDisk failed (exit -1). See the diskutil lines above.");
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[1], "  diskutil: The program " + fake.path() + " could not be started: No such file or directory");
}

// The one test that waits the full 30 queries: the partition comes up with
// another file system.
TEST_F(MakeUsbFailure, PartitionThatNeverMountsAsFatEndsTheWait)
{
    fake.simulateStick({.disk = "disk4", .filesystem = "exfat"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(), "The new FAT32 partition disk4p1 did not appear. See the diskutil lines above.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, mountWaitQueries * mountWaitPause);
    EXPECT_EQ(fake.count(partitionInfo), mountWaitQueries);
    // The wait logs nothing of its own.
    std::vector<std::string> expected{"Erasing disk4 and creating FAT32 partition SARNOVELLE"};
    const auto partitioning = partitionLines();
    expected.insert(expected.end(), partitioning.begin(), partitioning.end());
    EXPECT_EQ(lines, expected);
}

TEST_F(MakeUsbFailure, BootDirectoryErrorPassesThroughUnchanged)
{
    // The "mount point" is a plain file: EFI cannot be created below it.
    const auto notAFolder = dir.write("plain-file", "x").string();
    fake.answer(partitionInfo, mountedAt(notAFolder));
    try {
        run();
        ADD_FAILURE() << "run succeeded";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find(notAFolder + "/EFI/BOOT"), std::string::npos) << error.what();
    }
    EXPECT_EQ(lines.back(), "Writing " + notAFolder + "/EFI/BOOT/BOOTX64.EFI");
}

TEST_F(MakeUsbFailure, WriteFailureNamesTheBootFile)
{
    // A folder stands where the boot file should go.
    fs::create_directories(dir / "volume" / "EFI" / "BOOT" / "BOOTX64.EFI");
    const auto mountPoint = (dir / "volume").string();
    fake.answer(partitionInfo, mountedAt(mountPoint));
    EXPECT_EQ(failure(), "Cannot create " + mountPoint + "/EFI/BOOT/BOOTX64.EFI: Is a directory");
    EXPECT_FALSE(ran(fake.invocations(), "unmount"));
}

TEST_F(MakeUsbFailure, UnmountFailure)
{
    fake.answer({"unmount", "disk4p1"}, FakeAnswer{"Volume SARNOVELLE on disk4p1 failed to unmount: dissented by PID 312\n", 1, false});
    EXPECT_EQ(failure(), "diskutil unmount failed (exit 1).");
    EXPECT_EQ(lines.back(), "  diskutil: Volume SARNOVELLE on disk4p1 failed to unmount: dissented by PID 312");
    EXPECT_FALSE(ran(fake.invocations(), "mount"));
    EXPECT_FALSE(ran(fake.invocations(), "eject"));
}

TEST_F(MakeUsbFailure, MountFailure)
{
    fake.answer({"mount", "disk4p1"}, FakeAnswer{"Volume on disk4p1 failed to mount\n", 12, false});
    EXPECT_EQ(failure(), "diskutil mount failed (exit 12).");
    EXPECT_EQ(lines[lines.size() - 2], "  diskutil: Volume SARNOVELLE on disk4p1 unmounted");
    EXPECT_EQ(lines.back(), "  diskutil: Volume on disk4p1 failed to mount");
    EXPECT_FALSE(ran(fake.invocations(), "eject"));
}

TEST_F(MakeUsbFailure, ReadBackFailureNamesTheReadBackPath)
{
    // The second wait finds the partition at an empty folder.
    fs::create_directories(dir / "elsewhere");
    const auto elsewhere = (dir / "elsewhere").string();
    fake.answer(partitionInfo, std::vector<PlistDict>{mountedAt(volume("SARNOVELLE")), mountedAt(elsewhere)});
    EXPECT_EQ(failure(), "Cannot open " + elsewhere + "/EFI/BOOT/BOOTX64.EFI: No such file or directory");
    EXPECT_EQ(lines.back(), "  diskutil: Volume SARNOVELLE on disk4p1 mounted");
}

TEST_F(MakeUsbFailure, OtherBytesOnTheStickDoNotVerify)
{
    dir.write("elsewhere/EFI/BOOT/BOOTX64.EFI", "not the image");
    const auto elsewhere = (dir / "elsewhere").string();
    fake.answer(partitionInfo, std::vector<PlistDict>{mountedAt(volume("SARNOVELLE")), mountedAt(elsewhere)});
    EXPECT_EQ(failure(), "Read-back SHA-256 does not match the image.");
    EXPECT_EQ(lines.back(), "Read back SHA-256 " + sha256Hex(toBytes("not the image")));
    EXPECT_FALSE(ran(fake.invocations(), "eject"));
}

TEST_F(MakeUsbFailure, LowerCaseExpectedDigestDoesNotMatch)
{
    std::transform(imageHash.begin(), imageHash.end(), imageHash.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    EXPECT_EQ(failure(), "Read-back SHA-256 does not match the image.");
    EXPECT_EQ(lines.back(), "Read back SHA-256 " + sha256Hex(image));
    EXPECT_FALSE(ran(fake.invocations(), "eject"));
    EXPECT_EQ(fake.stickMountPoint(), volume("SARNOVELLE 1")) << "a failure leaves the partition mounted";
}

} // namespace
} // namespace sarnovelle::test
