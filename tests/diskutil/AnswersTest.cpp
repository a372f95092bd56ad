// The query answers (list and info) against fake kernel views, read back
// with the project's own property-list reader.

#include "FakeSystem.h"

#include "core/ToolRunner.h"
#include "linux/diskutil/devices/Helpers.h"

#include <gtest/gtest.h>

namespace sarnovelle::test {
namespace {

class Answers : public ::testing::Test {
protected:
    void SetUp() override { addTypicalDisks(system); }

    // A FAT32 file system named `label` in the device file; empty when made,
    // else why not.
    static std::string makeFat(const std::filesystem::path& image, const std::string& label)
    {
        const auto mkfs = standin::findHelper("mkfs.fat");
        if (!mkfs) {
            return "mkfs.fat is not installed";
        }
        const ToolResult made = runTool(*mkfs, {"-F", "32", "-n", label, image.string()});
        return made.status == 0 ? std::string() : made.text();
    }

    PlistDict info(const std::string& identifier)
    {
        const Outcome outcome = system.run({"info", "-plist", identifier});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        const auto answer = outcome.plist();
        EXPECT_TRUE(answer.has_value()) << outcome.out;
        return answer.value_or(PlistDict());
    }

    FakeSystem system;
};

TEST_F(Answers, ListsOnlyExternalPhysicalWholeDisksInDeviceOrder)
{
    const Outcome outcome = system.run({"list", "-plist", "external", "physical"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const auto answer = outcome.plist();
    ASSERT_TRUE(answer);
    // Not: sda (internal SATA), nvme0n1 (internal), partitions, loop0,
    // zram0, sr0 (optical), mmcblk0boot0 (boot area).
    EXPECT_EQ(answer->textList("WholeDisks"), (std::vector<std::string>{"sdb", "sdc", "mmcblk0"}));
}

TEST_F(Answers, ListLeavesOutReadersWithoutMediumAndHiddenDevices)
{
    system.attribute("sdc", "size", "0");
    system.attribute("sdb", "hidden", "1");
    const auto answer = system.run({"list", "-plist", "external", "physical"}).plist();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->textList("WholeDisks"), (std::vector<std::string>{"mmcblk0"}));
}

TEST_F(Answers, DescribesUsbStickAsExternalUsbWholeDisk)
{
    const PlistDict answer = info("sdb");
    EXPECT_EQ(answer.text("DeviceIdentifier"), "sdb");
    EXPECT_EQ(answer.text("DeviceNode"), "/dev/sdb");
    EXPECT_EQ(answer.boolean("WholeDisk"), true);
    EXPECT_EQ(answer.text("ParentWholeDisk"), "sdb");
    EXPECT_EQ(answer.text("BusProtocol"), "USB");
    EXPECT_EQ(answer.boolean("Internal"), false);
    EXPECT_EQ(answer.boolean("Removable"), true);
    EXPECT_EQ(answer.number("Size"), 60062500ULL * 512);
    EXPECT_EQ(answer.text("MediaName"), "SanDisk Cruzer Blade");
    EXPECT_EQ(answer.boolean("WritableMedia"), true);
}

TEST_F(Answers, UsbStickWithFixedMediaIsStillExternal)
{
    system.attribute("sdc", "removable", "0");
    const PlistDict answer = info("/dev/sdc");
    EXPECT_EQ(answer.text("BusProtocol"), "USB");
    EXPECT_EQ(answer.boolean("Internal"), false);
    EXPECT_EQ(answer.boolean("Removable"), false);

    // Its lock switch on: still listed, and its medium and partitions say
    // they cannot be written.
    system.attribute("sdc", "ro", "1");
    EXPECT_EQ(info("sdc").boolean("WritableMedia"), false);
    EXPECT_EQ(info("sdcs1").boolean("WritableMedia"), false);
    EXPECT_EQ(info("sdb").boolean("WritableMedia"), true);
    const auto listed = system.run({"list", "-plist", "external", "physical"}).plist();
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->textList("WholeDisks"), (std::vector<std::string>{"sdb", "sdc", "mmcblk0"}));
}

TEST_F(Answers, NamesTheTransportOfOtherDisks)
{
    const PlistDict sata = info("sda");
    EXPECT_EQ(sata.text("BusProtocol"), "SATA");
    EXPECT_EQ(sata.boolean("Internal"), true);
    EXPECT_EQ(sata.text("MediaName"), "ATA Samsung SSD 870");

    const PlistDict nvme = info("nvme0n1");
    EXPECT_EQ(nvme.text("BusProtocol"), "PCI-Express");
    EXPECT_EQ(nvme.boolean("Internal"), true);
    EXPECT_EQ(nvme.text("MediaName"), "WD Blue SN570 1TB");

    const PlistDict card = info("mmcblk0");
    EXPECT_EQ(card.text("BusProtocol"), "Secure Digital");
    EXPECT_EQ(card.boolean("Internal"), false);
    EXPECT_EQ(card.text("MediaName"), "SC32G");

    EXPECT_EQ(info("loop0").text("BusProtocol"), "Virtual");
    EXPECT_EQ(info("zram0").text("BusProtocol"), "Virtual");
}

TEST_F(Answers, AcceptsThePartitionFormBuiltFromTheWholeDisk)
{
    system.partition("mmcblk0", "mmcblk0p1", 1, "179:1", 62332928);
    for (const auto& [asked, kernelName, parent] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"sdbs1", "sdb1", "sdb"}, {"sdb1", "sdb1", "sdb"}, {"nvme0n1s1", "nvme0n1p1", "nvme0n1"},
             {"mmcblk0s1", "mmcblk0p1", "mmcblk0"}, {"/dev/sdcs1", "sdc1", "sdc"}}) {
        const PlistDict answer = info(asked);
        EXPECT_EQ(answer.text("DeviceIdentifier"), kernelName) << asked;
        EXPECT_EQ(answer.boolean("WholeDisk"), false) << asked;
        EXPECT_EQ(answer.text("ParentWholeDisk"), parent) << asked;
    }
    EXPECT_EQ(info("sdbs1").number("Size"), (60062500ULL - 2048) * 512);
}

TEST_F(Answers, MountedPartitionReportsItsMountFromMountinfo)
{
    system.mount("8:17", "/media/alice/MY STICK", "vfat", "/dev/sdb1");
    const PlistDict answer = info("sdbs1");
    EXPECT_EQ(answer.text("FilesystemType"), "msdos");
    EXPECT_EQ(answer.text("MountPoint"), "/media/alice/MY STICK");
}

TEST_F(Answers, BindMountDoesNotHideTheVolumesOwnMount)
{
    system.mount("8:17", "/srv/bound", "vfat", "/dev/sdb1", "/EFI");
    system.mount("8:17", "/media/alice/STICK", "vfat", "/dev/sdb1");
    const PlistDict answer = info("sdb1");
    EXPECT_EQ(answer.text("MountPoint"), "/media/alice/STICK");
}

TEST_F(Answers, UnmountedPartitionIsProbedForItsFileSystemAndName)
{
    if (!standin::findHelper("mkfs.fat")) {
        GTEST_SKIP() << "mkfs.fat is not installed";
    }
    ASSERT_EQ(makeFat(system.node("sdc1", 64ULL << 20), "FAKEVOL"), "");

    const PlistDict answer = info("sdcs1");
    EXPECT_EQ(answer.text("FilesystemType"), "msdos");
    EXPECT_EQ(answer.text("VolumeName"), "FAKEVOL");
    EXPECT_EQ(answer.text("MountPoint"), "");
}

TEST_F(Answers, MountedPartitionIsNamedWhateverTypeTheKernelReports)
{
    if (!standin::findHelper("mkfs.fat")) {
        GTEST_SKIP() << "mkfs.fat is not installed";
    }
    const auto image = system.node("sdb1", 64ULL << 20);
    ASSERT_EQ(makeFat(image, "MOUNTED"), "");
    // The kernel's name for the type, one that libblkid also uses, and one
    // that it does not (FAT mounted through the old msdos driver).
    for (const char* kernelType : {"vfat", "msdos"}) {
        FakeSystem mounted;
        addTypicalDisks(mounted);
        const auto copy = mounted.node("sdb1", 64ULL << 20);
        std::filesystem::copy_file(image, copy, std::filesystem::copy_options::overwrite_existing);
        mounted.mount("8:17", "/media/alice/MOUNTED", kernelType, "/dev/sdb1");
        const Outcome outcome = mounted.run({"info", "-plist", "sdb1"});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const auto answer = outcome.plist();
        ASSERT_TRUE(answer) << outcome.out;
        EXPECT_EQ(answer->text("FilesystemType"), "msdos") << kernelType;
        EXPECT_EQ(answer->text("VolumeName"), "MOUNTED") << kernelType;
        EXPECT_EQ(answer->text("MountPoint"), "/media/alice/MOUNTED") << kernelType;
    }
}

TEST_F(Answers, PartitionWithoutFileSystemHasEmptyType)
{
    system.node("sdb1", 1 << 20);
    const PlistDict answer = info("sdbs1");
    EXPECT_EQ(answer.text("FilesystemType"), "");
    EXPECT_EQ(answer.text("VolumeName"), "");
    EXPECT_EQ(answer.text("MountPoint"), "");
}

TEST_F(Answers, RefusesIdentifiersThatAreNotPlainDeviceNames)
{
    for (const std::string bad :
         {"../sda", "sd a", "sdb/../sda", "/dev/../sda", "", "/dev/", "-sdb", "sdb\n", "sdb;rm", "s\xc3\xa9"}) {
        for (const auto& arguments : std::vector<std::vector<std::string>>{
                 {"info", "-plist", bad}, {"mount", bad}, {"unmount", bad}, {"eject", bad}}) {
            const Outcome outcome = system.run(arguments);
            EXPECT_EQ(outcome.status, 1) << bad;
            EXPECT_EQ(outcome.out, "") << bad;
            ASSERT_EQ(outcome.errLines().size(), 1U) << bad << ": " << outcome.err;
            EXPECT_NE(outcome.err.find("Invalid"), std::string::npos) << outcome.err;
        }
    }
}

TEST_F(Answers, UnknownDisksAndPartitionsAreReportedMissing)
{
    for (const std::string missing : {"sdz", "sdbs9", "sdb1s1", "sdbs0", "sdbsx"}) {
        const Outcome outcome = system.run({"info", "-plist", missing});
        EXPECT_EQ(outcome.status, 1) << missing;
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, "Could not find disk: " + missing + "\n");
    }
}

TEST_F(Answers, RefusesInvocationsOutsideTheKnownSet)
{
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"list"}, {"list", "-plist"}, {"list", "-plist", "internal", "physical"}, {"info", "sdb"},
             {"info", "-plist"}, {"eraseDisk", "FAT32", "X", "/dev/sdb"}, {"mount", "sdb1", "extra"}}) {
        const Outcome outcome = system.run(arguments);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.errLines().size(), 1U) << outcome.err;
    }
}

} // namespace
} // namespace sarnovelle::test
