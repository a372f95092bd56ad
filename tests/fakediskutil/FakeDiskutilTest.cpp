#include "FakeDiskutil.h"
#include "TempDir.h"

#include "core/Diskutil.h"
#include "core/ToolRunner.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

TEST(FakeDiskutil, AnswersInTurnRepeatsTheLastAndLogsEveryRun)
{
    TempDir dir;
    FakeDiskutil fake(dir / "scenario");
    const Arguments query{"info", "-plist", "disk4p1"};
    fake.answer(query, std::vector<FakeAnswer>{{"first\n", 0, false}, {"second\n", 5, false}});
    fake.answer({"odd", "two words", "tab\there", "back\\slash"}, FakeAnswer{"ok", 0, false});

    const ToolResult one = runTool(fake.path(), query);
    const ToolResult two = runTool(fake.path(), query);
    const ToolResult three = runTool(fake.path(), query);
    EXPECT_EQ(one.text(), "first\n");
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(two.text(), "second\n");
    EXPECT_EQ(two.status, 5);
    EXPECT_EQ(three.text(), "second\n");
    EXPECT_EQ(three.status, 5);

    EXPECT_EQ(runTool(fake.path(), {"odd", "two words", "tab\there", "back\\slash"}).text(), "ok");
    const ToolResult unknown = runTool(fake.path(), {"info", "-plist", "disk9"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.text(), "fake diskutil: no answer for: info\t-plist\tdisk9\n");

    const std::vector<Arguments> expected{query, query, query,
                                          {"odd", "two words", "tab\there", "back\\slash"},
                                          {"info", "-plist", "disk9"}};
    EXPECT_EQ(fake.invocations(), expected);
    EXPECT_EQ(fake.count(query), 3);
    fake.clearInvocations();
    EXPECT_TRUE(fake.invocations().empty());
}

TEST(FakeDiskutil, PlistAnswersParseAndABreakMakesTheUtilityUnstartable)
{
    TempDir dir;
    FakeDiskutil fake(dir / "scenario");
    fake.listWholeDisks({"disk4", "disk5"});
    fake.answer({"info", "-plist", "disk4"}, FakeAnswer{"", 0, true});

    const auto list = diskutilPlist(fake.env(), {"list", "-plist", "external", "physical"});
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->textList("WholeDisks"), (std::vector<std::string>{"disk4", "disk5"}));

    EXPECT_EQ(runTool(fake.path(), {"info", "-plist", "disk4"}).status, 0);
    EXPECT_EQ(runTool(fake.path(), {"info", "-plist", "disk4"}).status, -1);
}

TEST(FakeDiskutil, SimulatedStickMovesItsVolumeAndKeepsTheFiles)
{
    TempDir dir;
    FakeDiskutil fake(dir / "scenario");
    fake.simulateStick({.disk = "disk4", .mountDelay = 1, .ejectStatus = 1});
    const Arguments info{"info", "-plist", "disk4p1"};

    EXPECT_EQ(runTool(fake.path(), info).status, 1) << "no partition before partitionDisk";
    const ToolResult partition = runTool(
        fake.path(),
        {"partitionDisk", "/dev/disk4", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"});
    EXPECT_EQ(partition.status, 0);
    const fs::path first = fake.folder() / "volumes" / "SARNOVELLE";
    EXPECT_EQ(fake.stickMountPoint(), first.string());
    EXPECT_TRUE(fs::is_empty(first));

    const auto pending = diskutilPlist(fake.env(), info);
    ASSERT_TRUE(pending.has_value());
    EXPECT_EQ(pending->text("MountPoint"), "");
    const auto mounted = diskutilPlist(fake.env(), info);
    ASSERT_TRUE(mounted.has_value());
    EXPECT_EQ(mounted->text("FilesystemType"), "msdos");
    EXPECT_EQ(mounted->text("MountPoint"), first.string());

    dir.write("scenario/volumes/SARNOVELLE/EFI/BOOT/BOOTX64.EFI", "image");
    EXPECT_EQ(runTool(fake.path(), {"unmount", "disk4p1"}).status, 0);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_EQ(runTool(fake.path(), {"unmount", "disk4p1"}).status, 1) << "already unmounted";
    EXPECT_EQ(runTool(fake.path(), {"mount", "disk4p1"}).status, 0);
    const fs::path second = fake.folder() / "volumes" / "SARNOVELLE 1";
    EXPECT_EQ(fake.stickMountPoint(), second.string());
    EXPECT_EQ(readText(second / "EFI/BOOT/BOOTX64.EFI"), "image");

    const ToolResult eject = runTool(fake.path(), {"eject", "/dev/disk4"});
    EXPECT_EQ(eject.status, 1);
    EXPECT_EQ(eject.text(), "Unable to eject /dev/disk4: resource busy\n");
}

} // namespace
} // namespace sarnovelle::test
