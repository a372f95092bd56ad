#include "MakeUsbScenario.h"

#include "core/Sha256.h"

#include <filesystem>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

using MakeUsbTest = MakeUsbScenario;

TEST_F(MakeUsbTest, SuccessfulRunLogsEveryStepAndLeavesTheImageOnTheStick)
{
    fake.simulateStick({.disk = "disk4", .mountDelay = 1});
    run();

    // The remount brings the partition back at another path; the read-back
    // uses that one.
    std::vector<std::string> expected{"Erasing disk4 and creating FAT32 partition SARNOVELLE"};
    const auto partitioning = partitionLines();
    expected.insert(expected.end(), partitioning.begin(), partitioning.end());
    expected.insert(expected.end(), {
                                        "Writing " + volume("SARNOVELLE") + "/EFI/BOOT/BOOTX64.EFI",
                                        "Remounting disk4p1 to read back from the disk",
                                        "  diskutil: Volume SARNOVELLE on disk4p1 unmounted",
                                        "  diskutil: Volume SARNOVELLE on disk4p1 mounted",
                                        "Read back SHA-256 " + imageHash,
                                        "  diskutil: Disk /dev/disk4 ejected",
                                    });
    EXPECT_EQ(lines, expected);

    std::vector<Arguments> runs = listing();
    const Arguments info{"info", "-plist", "disk4p1"};
    runs.insert(runs.end(), {partitionCommand(), info, info, {"unmount", "disk4p1"}, {"mount", "disk4p1"}, info,
                             info, {"eject", "/dev/disk4"}});
    EXPECT_EQ(fake.invocations(), runs);

    // Ejected: the partition's folder is unmounted and holds the image.
    EXPECT_EQ(fake.stickMountPoint(), "");
    const auto onStick = readText(fake.folder() / "volumes" / ".unmounted" / "EFI" / "BOOT" / "BOOTX64.EFI");
    EXPECT_EQ(Bytes(onStick.begin(), onStick.end()), image);
}

TEST_F(MakeUsbTest, RemountAtTheSamePathReadsBackThere)
{
    fake.simulateStick({.disk = "disk4", .remountSamePath = true});
    run();
    EXPECT_EQ(lines.at(lines.size() - 2), "Read back SHA-256 " + imageHash);
}

TEST_F(MakeUsbTest, EmptyImageIsWrittenAndVerified)
{
    image.clear();
    imageHash = sha256Hex(image);
    run();
    EXPECT_EQ(lines.at(lines.size() - 2),
              "Read back SHA-256 E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    EXPECT_EQ(fs::file_size(fake.folder() / "volumes" / ".unmounted" / "EFI" / "BOOT" / "BOOTX64.EFI"), 0U);
}

TEST_F(MakeUsbTest, FailedEjectIsLoggedButTheRunSucceeds)
{
    fake.simulateStick({.disk = "disk4", .ejectStatus = 1});
    run();
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(lines[lines.size() - 3], "Read back SHA-256 " + imageHash);
    EXPECT_EQ(lines[lines.size() - 2], "  diskutil: Unable to eject /dev/disk4: resource busy");
#ifdef __APPLE__
    EXPECT_EQ(lines[lines.size() - 1], "Eject failed. Eject the USB in Finder before removing it.");
#else
    EXPECT_EQ(lines[lines.size() - 1], "Eject failed. Eject the USB in the file manager before removing it.");
#endif
    EXPECT_EQ(fake.stickMountPoint(), volume("SARNOVELLE 1")) << "still mounted";
}

TEST_F(MakeUsbTest, OnlyTheNameMayDifferFromTheChosenDisk)
{
    chosen.name = "Renamed";
    run();
    EXPECT_EQ(lines.front(), "Erasing disk4 and creating FAT32 partition SARNOVELLE");
}

TEST_F(MakeUsbTest, TwoEmptySerialsAreTheSame)
{
    TempDir other;
    FakeSysfs bare(other / "sys");
    chosen.serial = "";
    // No sysfs entry for disk4: the fresh listing has an empty serial too.
    env.sysfsRoot = bare.root().string();
    run();
    EXPECT_EQ(lines.back(), "  diskutil: Disk /dev/disk4 ejected");
}

} // namespace
} // namespace sarnovelle::test
