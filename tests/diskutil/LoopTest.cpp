// The kernel's way of partitionDisk, mount, unmount and eject (the
// functions the verbs run as root), and info, on a real loop device over a
// sparse file; and the verbs themselves, which refuse a loop device since
// it is no USB stick. Needs root and /dev/loop-control; skips otherwise.
// The resulting table and file system are checked with the system's own
// tools (sfdisk, blkid, fsck.fat), not with the code under test.

#include "LoopDevice.h"
#include "TempDir.h"

#include "core/Plist.h"
#include "core/Text.h"
#include "core/ToolRunner.h"
#include "core/MakerError.h"
#include "linux/diskutil/Command.h"
#include "linux/diskutil/devices/Helpers.h"
#include "linux/diskutil/backends/kernel/Partition.h"
#include "linux/diskutil/backends/kernel/Volumes.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace sarnovelle::test {
namespace {

struct Invocation {
    int status = -1;
    std::string out;
    std::string err;
};

bool kernelMountsVfat()
{
    std::ifstream filesystems("/proc/filesystems");
    std::string line;
    while (std::getline(filesystems, line)) {
        if (line.ends_with("\tvfat")) {
            return true;
        }
    }
    return false;
}

std::string tool(const std::string& program, const std::vector<std::string>& arguments, int expectedStatus = 0)
{
    const auto path = standin::findHelper(program);
    EXPECT_TRUE(path.has_value()) << program << " is missing";
    if (!path) {
        return {};
    }
    const ToolResult result = runTool(*path, arguments);
    EXPECT_EQ(result.status, expectedStatus) << program << ": " << result.text();
    return result.text();
}

class LoopDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!standin::findHelper("mkfs.fat") || !standin::findHelper("sfdisk") || !standin::findHelper("blkid")) {
            GTEST_SKIP() << "mkfs.fat, sfdisk or blkid is missing";
        }
        const auto image = dir.write("disk.img", "");
        std::filesystem::resize_file(image, 1100ULL << 20);
        std::string whyNot;
        loop = LoopDevice::attach(image, whyNot);
        if (!loop) {
            GTEST_SKIP() << "No loop device on this machine: " << whyNot;
        }
        std::filesystem::create_directories(dir / "media");
    }

    // The changes straight through the kernel's functions, past the
    // checks that keep the verbs off a loop device; info through the
    // program's entry point.
    Invocation run(const std::vector<std::string>& arguments)
    {
        return invoke([&arguments](const standin::Context& context) {
            const std::string& verb = arguments.front();
            const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
            if (verb == "partitionDisk") {
                return standin::partitionCommand(context, rest);
            }
            if (verb == "mount") {
                return rest.size() == 2 && rest[0] == "readOnly"
                           ? standin::mountCommand(context, rest[1], standin::MountAccess::readOnly)
                           : standin::mountCommand(context, rest.at(0), standin::MountAccess::readWrite);
            }
            if (verb == "unmount") {
                return standin::unmountCommand(context, rest.at(0));
            }
            if (verb == "eject") {
                return standin::ejectCommand(context, rest.at(0));
            }
            return standin::runCommand(context, arguments);
        });
    }

    // The invocation as the application makes it.
    Invocation verb(const std::vector<std::string>& arguments)
    {
        return invoke([&arguments](const standin::Context& context) { return standin::runCommand(context, arguments); });
    }

    template <typename Call>
    Invocation invoke(Call call)
    {
        std::ostringstream out;
        std::ostringstream err;
        standin::Context context;
        context.roots.media = dir / "media";
        context.privileged = true;
        context.out = &out;
        context.err = &err;
        Invocation result;
        try {
            result.status = call(context);
        } catch (const MakerError& error) {
            result.status = 1;
            err << error.message() << "\n";
        }
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    Invocation partition(const std::string& label)
    {
        return run({"partitionDisk", loop->node(), "MBR", "MS-DOS FAT32", label, "2097152S", "Free Space", "none", "R"});
    }

    // Partitioning ends with the mount, which this kernel may not offer.
    void expectPartitioned(const Invocation& run, const std::string& label)
    {
        const std::string disk = loop->name();
        const std::string part = disk + "p1";
        std::vector<std::string> expected{"Started partitioning on " + disk, "Unmounting disk",
                                          "Creating the partition map", "Waiting for partitions to activate",
                                          "Formatting " + part + " as MS-DOS (FAT32) with name " + label,
                                          "Mounting disk"};
        if (kernelMountsVfat()) {
            EXPECT_EQ(run.status, 0) << run.err;
            expected.push_back("Volume " + label + " on " + part + " mounted at " + (dir / "media/root" / label).string());
            expected.push_back("Finished partitioning on " + disk);
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find("Could not mount " + part), std::string::npos) << run.err;
        }
        std::vector<std::string> lines;
        for (const auto line : splitLines(run.out)) {
            lines.emplace_back(line);
        }
        EXPECT_EQ(lines, expected) << run.err;
    }

    void expectOnePartitionLabelled(const std::string& label)
    {
        const std::string table = tool("sfdisk", {"--dump", loop->node()});
        EXPECT_NE(table.find("label: dos"), std::string::npos) << table;
        // The partition's line, with sfdisk's alignment blanks left out.
        const std::size_t at = table.find(loop->node() + "p1 :");
        ASSERT_NE(at, std::string::npos) << table;
        std::string line = table.substr(at, table.find('\n', at) - at);
        std::erase(line, ' ');
        EXPECT_EQ(line, loop->node() + "p1:start=2048,size=2097152,type=c") << table;
        EXPECT_EQ(table.find(loop->node() + "p2"), std::string::npos) << table;

        // Low-level probing, no cache: the partition holds FAT32 with the
        // label, and the disk itself only the partition table.
        const std::string partition = tool("blkid", {"-p", "-o", "export", loop->node() + "p1"});
        EXPECT_NE(partition.find("\nTYPE=vfat\n"), std::string::npos) << partition;
        EXPECT_NE(partition.find("\nVERSION=FAT32\n"), std::string::npos) << partition;
        EXPECT_NE(partition.find("\nLABEL=" + label + "\n"), std::string::npos) << partition;
        const std::string disk = tool("blkid", {"-p", "-o", "export", loop->node()});
        EXPECT_NE(disk.find("PTTYPE=dos"), std::string::npos) << disk;
        EXPECT_EQ(disk.find("\nTYPE="), std::string::npos) << "an old signature survived: " << disk;

        if (standin::findHelper("fsck.fat")) {
            tool("fsck.fat", {"-n", loop->node() + "p1"});
        }
    }

    TempDir dir;
    std::optional<LoopDevice> loop;
};

TEST_F(LoopDisk, PartitionDiskWritesMbrWithOneLabelledFat32Partition)
{
    // The whole disk holds an old FAT file system without a table first:
    // its signature must not survive.
    tool("mkfs.fat", {"-I", "-n", "OLDDISK", loop->node()});

    const Invocation run = partition("SARNOVELLE");
    expectPartitioned(run, "SARNOVELLE");
    expectOnePartitionLabelled("SARNOVELLE");
}

TEST_F(LoopDisk, RepartitioningReplacesTheOldTableAndVolume)
{
    expectPartitioned(partition("FIRST"), "FIRST");
    run({"unmount", loop->name() + "s1"});
    expectPartitioned(partition("SECOND"), "SECOND");
    expectOnePartitionLabelled("SECOND");
}

TEST_F(LoopDisk, InfoDescribesTheNewPartition)
{
    partition("SARNOVELLE");
    const Invocation run = this->run({"info", "-plist", loop->name() + "s1"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto answer = PlistDict::parse(toBytes(run.out));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->text("DeviceIdentifier"), loop->name() + "p1");
    EXPECT_EQ(answer->text("ParentWholeDisk"), loop->name());
    EXPECT_EQ(answer->boolean("WholeDisk"), false);
    EXPECT_EQ(answer->number("Size"), 1024ULL << 20);
    EXPECT_EQ(answer->text("FilesystemType"), "msdos");
    EXPECT_EQ(answer->text("VolumeName"), "SARNOVELLE");
}

TEST_F(LoopDisk, TooSmallDiskIsLeftUntouched)
{
    const auto image = dir.write("small.img", "");
    std::filesystem::resize_file(image, 512ULL << 20);
    std::string whyNot;
    auto small = LoopDevice::attach(image, whyNot);
    ASSERT_TRUE(small) << whyNot;
    tool("mkfs.fat", {"-I", "-n", "KEEPME", small->node()});

    const Invocation run = this->run({"partitionDisk", small->node(), "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S",
                               "Free Space", "none", "R"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("does not fit"), std::string::npos) << run.err;
    EXPECT_NE(tool("blkid", {"-p", "-o", "export", small->node()}).find("LABEL=KEEPME"), std::string::npos);
}

TEST_F(LoopDisk, EjectDetachesTheDevice)
{
    partition("SARNOVELLE");
    run({"unmount", loop->name() + "s1"});
    const Invocation run = this->run({"eject", loop->node()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Disk " + loop->node() + " ejected\n");
    loop->closeOwnDescriptor(); // the detach completes with the last user
    EXPECT_FALSE(loop->attached());
}

TEST_F(LoopDisk, EjectRefusesADiskSomethingElseHoldsExclusively)
{
    partition("SARNOVELLE");
    run({"unmount", loop->name() + "s1"});
    // Another holder, as a file system or a partitioning program would be.
    const UniqueFd holder(::open(loop->node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_TRUE(holder) << std::strerror(errno);
    const Invocation refused = run({"eject", loop->node()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, loop->name() + " is still in use; it is left alone.\n");
    EXPECT_TRUE(loop->attached());
}

TEST_F(LoopDisk, TheVerbsRefuseALoopDeviceAndLeaveItUntouched)
{
    expectPartitioned(partition("KEEPME"), "KEEPME");
    run({"unmount", loop->name() + "s1"});
    const std::string before = tool("sfdisk", {"--dump", loop->node()});
    const std::string why = loop->name() + " is no physical disk (Virtual); only a USB stick is changed.\n";
    for (const auto& [arguments, refusal] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"partitionDisk", loop->node(), "MBR", "MS-DOS FAT32", "OTHER", "2097152S", "Free Space", "none", "R"},
              "partitionDisk refused: " + why},
             {{"eject", loop->node()}, "eject refused: " + why},
             {{"mount", loop->name() + "s1"},
              "mount refused: " + loop->name() + "p1 lies on " + loop->name() + ", no physical disk (Virtual); only "
                                                                                 "a USB stick is changed.\n"}}) {
        const Invocation refused = verb(arguments);
        EXPECT_EQ(refused.status, 1) << arguments[0];
        EXPECT_EQ(refused.out, "") << arguments[0];
        EXPECT_EQ(refused.err, refusal);
    }
    EXPECT_TRUE(loop->attached());
    EXPECT_EQ(tool("sfdisk", {"--dump", loop->node()}), before);
    expectOnePartitionLabelled("KEEPME");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "media/root")) << "something was mounted";
}

TEST_F(LoopDisk, MountsTheNewPartitionForTheDesktopUser)
{
    if (!kernelMountsVfat()) {
        GTEST_SKIP() << "This kernel cannot mount vfat; the mount step is covered by the system test in a VM.";
    }
    partition("SARNOVELLE");
    const auto folder = dir / "media/root/SARNOVELLE";
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    const Invocation unmounted = run({"unmount", loop->name() + "s1"});
    EXPECT_EQ(unmounted.status, 0) << unmounted.err;
    EXPECT_FALSE(std::filesystem::exists(folder)) << "the mount folder was left behind";
    const Invocation mounted = run({"mount", loop->name() + "s1"});
    EXPECT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(mounted.out, "Volume " + loop->name() + "p1 mounted at " + folder.string() + "\n");
    run({"unmount", loop->name() + "s1"});
}

// What info says of a disk's table and partition 1, for the states a stick
// may be found in; each state is made with the system's own tools.
struct LayoutRow {
    const char* name;
    const char* change; // shell commands run on the made stick; $disk is the loop device
    const char* content;
    std::uint64_t partitions;
    bool gptHeader;
    std::optional<std::uint64_t> mbrType; // partition 1's, absent when it has none
    const char* filesystemName;
};

class LoopLayout : public LoopDisk, public ::testing::WithParamInterface<LayoutRow> {};

TEST_P(LoopLayout, InfoAnswersTheTableAndPartition)
{
    const LayoutRow& row = GetParam();
    partition("SARNOVELLE");
    run({"unmount", loop->name() + "s1"});
    if (*row.change != '\0') {
        // The kernel takes the new table as partx hands it over (BLKPG);
        // without a table, partx takes the old partitions away.
        tool("sh", {"-c", std::string("disk=") + loop->node() + "; " + row.change
                              + "; partx -u $disk 2>/dev/null || partx -d $disk"});
    }
    const Invocation disk = run({"info", "-plist", loop->name()});
    ASSERT_EQ(disk.status, 0) << disk.err;
    const auto diskInfo = PlistDict::parse(toBytes(disk.out));
    ASSERT_TRUE(diskInfo);
    EXPECT_EQ(diskInfo->text("Content"), row.content);
    EXPECT_EQ(diskInfo->number("PartitionCount"), row.partitions);
    EXPECT_EQ(diskInfo->boolean("GPTHeader"), row.gptHeader);
    if (row.partitions == 0) {
        return;
    }
    const Invocation part = run({"info", "-plist", loop->name() + "s1"});
    ASSERT_EQ(part.status, 0) << part.err;
    const auto partInfo = PlistDict::parse(toBytes(part.out));
    ASSERT_TRUE(partInfo);
    EXPECT_EQ(partInfo->number("PartitionMapPartitionOffset"), 1048576u);
    EXPECT_EQ(partInfo->number("MBRPartitionType"), row.mbrType);
    EXPECT_EQ(partInfo->text("FilesystemName").value_or(""), row.filesystemName);
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, LoopLayout,
    ::testing::Values(
        LayoutRow{"MadeByTheRun", "", "FDisk_partition_scheme", 1, false, 0x0c, "MS-DOS (FAT32)"},
        LayoutRow{"TypeChanged", "sfdisk --part-type $disk 1 b", "FDisk_partition_scheme", 1, false, 0x0b,
                  "MS-DOS (FAT32)"},
        LayoutRow{"Fat16", "mkfs.fat -F 16 -n SARNOVELLE ${disk}p1 >/dev/null", "FDisk_partition_scheme", 1, false,
                  0x0c, "MS-DOS (FAT16)"},
        LayoutRow{"GptHeaderBesideTheMbr", "printf 'EFI PART' | dd of=$disk bs=1 seek=512 conv=notrunc 2>/dev/null",
                  "FDisk_partition_scheme", 1, true, 0x0c, "MS-DOS (FAT32)"},
        LayoutRow{"TwoPartitions", "echo ',64M,83' | sfdisk --append $disk >/dev/null", "FDisk_partition_scheme", 2,
                  false, 0x0c, "MS-DOS (FAT32)"},
        LayoutRow{"Gpt", "echo ',1G,EBD0A0A2-B9E5-4433-87C0-68B6B72699C7' | sfdisk --label gpt $disk >/dev/null",
                  "GUID_partition_scheme", 1, true, std::nullopt, "MS-DOS (FAT32)"},
        LayoutRow{"Blank", "dd if=/dev/zero of=$disk bs=1M count=2 conv=notrunc 2>/dev/null", "", 0, false,
                  std::nullopt, ""}),
    [](const ::testing::TestParamInfo<LayoutRow>& info) { return std::string(info.param.name); });

TEST_F(LoopDisk, MountsReadOnlyWithoutChangingAByte)
{
    if (!kernelMountsVfat()) {
        GTEST_SKIP() << "This kernel cannot mount vfat; the mount step is covered by the system test in a VM.";
    }
    partition("SARNOVELLE");
    run({"unmount", loop->name() + "s1"});
    const std::string before = tool("sha256sum", {loop->node()});
    const Invocation mounted = run({"mount", "readOnly", loop->name() + "s1"});
    ASSERT_EQ(mounted.status, 0) << mounted.err;
    const auto folder = dir / "media/root/SARNOVELLE";
    std::ofstream written(folder / "NEW.TXT");
    EXPECT_FALSE(written.is_open()) << "a read-only mount took a new file";
    run({"unmount", loop->name() + "s1"});
    EXPECT_EQ(tool("sha256sum", {loop->node()}), before);
}

} // namespace
} // namespace sarnovelle::test
