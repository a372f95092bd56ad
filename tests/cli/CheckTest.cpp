// --check through the real program and the fake disk utility: one table of
// stick states, each with its verdict, exit status and what the disk
// utility was asked; nothing on the stick may change.
#include "CliHarness.h"

#include "core/Sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

enum class Boot { image, changed, none };

struct CheckRow {
    const char* name;
    std::vector<std::string> ids = {"disk4"};
    bool json = false;
    std::function<void(PlistDict& disk, FakeStick& stick)> change = {};
    Boot boot = Boot::image;
    bool automounted = false;
    bool mountsReadOnly = false;
    int status = 0;
    std::string verdict = {}; // of disk4, "" when not checked; "$digest": the boot file's SHA-256
    std::string err = {};
};

std::map<std::string, std::string> filesBelow(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] = readText(entry.path());
        }
    }
    return files;
}

const std::string ready = "READY: disk4 holds this image (SHA-256 $digest).";

const std::vector<CheckRow> rows = {
    {.name = "Ready", .mountsReadOnly = true, .verdict = ready},
    {.name = "ReadyWhereTheAutomounterMountedIt", .automounted = true, .verdict = ready},
    {.name = "BootFileChanged", .boot = Boot::changed, .mountsReadOnly = true, .status = 1,
     .verdict = "NOT READY: the boot file differs from this image: SHA-256 $digest."},
    {.name = "NoBootFile", .boot = Boot::none, .mountsReadOnly = true, .status = 1,
     .verdict = "NOT READY: no boot file."},
    {.name = "Blank", .change = [](PlistDict& disk, FakeStick&) { disk.setText("Content", ""); }, .status = 1,
     .verdict = "NOT READY: the disk has no partition table."},
    {.name = "Gpt", .change = [](PlistDict& disk, FakeStick&) { disk.setText("Content", "GUID_partition_scheme"); },
     .status = 1, .verdict = "NOT READY: the disk has a GPT partition table, not an MBR."},
    {.name = "GptHeaderBesideTheMbr", .change = [](PlistDict& disk, FakeStick&) { disk.setBool("GPTHeader", true); },
     .status = 1, .verdict = "NOT READY: a GPT header at sector 1 would be taken for the disk's table."},
    {.name = "TwoPartitions", .change = [](PlistDict& disk, FakeStick&) { disk.setNumber("PartitionCount", 2); },
     .status = 1, .verdict = "NOT READY: the disk has 2 partitions, not one."},
    {.name = "ElsewhereOnTheDisk", .change = [](PlistDict&, FakeStick& stick) { stick.offset = 4194304; },
     .status = 1, .verdict = "NOT READY: partition 1 does not start at sector 2048."},
    {.name = "OtherSize", .change = [](PlistDict&, FakeStick& stick) { stick.size = 2147483648; }, .status = 1,
     .verdict = "NOT READY: partition 1 is not 2097152 sectors (1024 MiB)."},
    {.name = "TypeOtherThan0c", .change = [](PlistDict&, FakeStick& stick) { stick.type = 0x0b; }, .status = 1,
     .verdict = "NOT READY: partition 1 is not of type 0x0c (FAT32)."},
    {.name = "Fat16", .change = [](PlistDict&, FakeStick& stick) { stick.filesystemName = "MS-DOS (FAT16)"; },
     .status = 1, .verdict = "NOT READY: partition 1 is not FAT32."},
    {.name = "OtherLabel", .change = [](PlistDict&, FakeStick& stick) { stick.label = "BACKUP"; }, .status = 1,
     .verdict = "NOT READY: partition 1 is not labelled SARNOVELLE."},
    {.name = "Json", .json = true, .mountsReadOnly = true, .verdict = ready},
    {.name = "OneOfTwoNotReady", .ids = {"disk4", "disk3"}, .mountsReadOnly = true, .status = 1, .verdict = ready},
    {.name = "UnknownId", .ids = {"disk4", "disk9"}, .status = 2,
     .err = "disk9: not checked, no such USB disk. See --list.\n"},
    {.name = "SystemDisk", .ids = {"disk0"}, .status = 2,
     .err = "disk0: not checked, left out: system disk. See --list.\n"},
};

class CliCheck : public ::testing::TestWithParam<CheckRow> {};

TEST_P(CliCheck, GivesTheVerdictWithoutChangingTheStick)
{
    const CheckRow& row = GetParam();
    CliTree tree;
    FakeStick stick{.disk = "disk4"};
    PlistDict disk = FakeDiskutil::usbDiskInfo("SanDisk Ultra", 16'008'609'792);
    disk.setText("Content", "FDisk_partition_scheme");
    disk.setNumber("PartitionCount", 1);
    disk.setBool("GPTHeader", false);
    if (row.change) {
        row.change(disk, stick);
    }
    twoSticks(tree.fake());
    tree.fake().answer({"info", "-plist", "disk4"}, disk);

    std::string boot = readText(tree.share() / "BOOTX64.EFI");
    ASSERT_FALSE(boot.empty());
    if (row.boot == Boot::changed) {
        boot[boot.size() / 2] = static_cast<char>(boot[boot.size() / 2] ^ 0x01);
    }
    std::vector<std::pair<std::string, std::string>> files = {{"NOTES.TXT", "kept"}};
    if (row.boot != Boot::none) {
        files.emplace_back("EFI/BOOT/BOOTX64.EFI", boot);
    }
    tree.fake().madeStick(stick, files, row.automounted);
    const auto before = filesBelow(tree.scenario() / "volumes");
    const std::string mountedBefore = tree.fake().stickMountPoint();

    std::vector<std::string> arguments = {"--check"};
    arguments.insert(arguments.end(), row.ids.begin(), row.ids.end());
    if (row.json) {
        arguments.push_back("--json");
    }
    const CliResult result = tree.run(arguments);
    EXPECT_EQ(result.status, row.status) << result.out << result.err;
    EXPECT_EQ(result.err, row.err);

    std::string verdict = row.verdict;
    if (const auto at = verdict.find("$digest"); at != std::string::npos) {
        verdict.replace(at, 7, sha256Hex(Bytes(boot.begin(), boot.end())));
    }
    if (row.json) {
        EXPECT_EQ(linesOf(result.out).front(), "[") << result.out;
        EXPECT_TRUE(contains(result.out, "{\"id\": \"disk4\", \"ready\": true, \"line\": \"" + verdict + "\""))
            << result.out;
        EXPECT_FALSE(contains(result.out, "Checking disk4")) << result.out;
    } else if (!verdict.empty()) {
        const auto lines = linesOf(result.out);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string& line) {
                                    return line.starts_with("disk4: ") && line.ends_with("  " + verdict);
                                }))
            << result.out;
        EXPECT_TRUE(contains(result.out, "\nDisk   Outcome")) << result.out;
    }
    if (row.status == 2) {
        EXPECT_EQ(tree.countInvocations("info -plist disk4p1"), 0) << "checked although refused";
    }

    EXPECT_EQ(filesBelow(tree.scenario() / "volumes"), before);
    EXPECT_EQ(tree.fake().stickMountPoint(), mountedBefore);
    EXPECT_FALSE(anyPartitioning(tree));
    EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), 0);
    EXPECT_EQ(tree.countInvocations("mount disk4p1"), 0);
    EXPECT_EQ(tree.countInvocations("mount readOnly disk4p1"), row.mountsReadOnly ? 1 : 0);
    EXPECT_EQ(tree.countInvocations("unmount disk4p1"), row.mountsReadOnly ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Sticks, CliCheck, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<CheckRow>& info) { return std::string(info.param.name); });

} // namespace
} // namespace sarnovelle::test
