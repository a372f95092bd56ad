// "<disk>s<N>" names partition N of a whole disk, also on a machine with so
// many sd disks that the kernel has a device of the same name, and a name
// that could mean two devices is refused.

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace sarnovelle::test {
namespace {

// sda, sdb, ..., sdz, sdaa, ..., as the kernel names SCSI disks.
std::string sdName(unsigned index)
{
    std::string suffix;
    for (unsigned n = index + 1; n > 0; n = (n - 1) / 26) {
        suffix.insert(suffix.begin(), static_cast<char>('a' + (n - 1) % 26));
    }
    return "sd" + suffix;
}

// 45 USB sticks, sda to sdas, each with partition 1 mounted in the user's
// media folder under the disk's name.
class ManyDisks : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The root in memory (a network boot), so that every stick may change.
        system.mount("0:40", "/", "tmpfs", "tmpfs");
        for (unsigned i = 0; i < 45; ++i) {
            const std::string disk = sdName(i);
            // 16 minors a disk: major 8 for the first 16 disks, then 65, 66...
            const unsigned block = i / 16;
            const std::string major = std::to_string(block == 0 ? 8 : 64 + block);
            const unsigned minor = (i % 16) * 16;
            addUsbStick(system, disk, "2-" + std::to_string(i + 1), i + 10, major + ":" + std::to_string(minor),
                        4194304);
            const std::string partition = major + ":" + std::to_string(minor + 1);
            system.partition(disk, disk + "1", 1, partition, 2097152);
            system.mount(partition, (system.roots().media / "alice" / disk).string(), "vfat", "/dev/" + disk + "1");
        }
    }

    std::optional<std::string> identifierOf(const std::string& asked)
    {
        const Outcome outcome = system.run({"info", "-plist", asked});
        if (outcome.status != 0) {
            return std::nullopt;
        }
        return outcome.plist().value_or(PlistDict()).text("DeviceIdentifier");
    }

    FakeSystem system;
};

TEST_F(ManyDisks, ThePartitionFormIsReadByItsWholeDisk)
{
    EXPECT_EQ(identifierOf("sdas1"), "sda1");
    EXPECT_EQ(identifierOf("sdass1"), "sdas1");
    EXPECT_EQ(identifierOf("/dev/sdass1"), "sdas1");
    EXPECT_EQ(identifierOf("sdas"), "sdas");
    EXPECT_EQ(identifierOf("sda1"), "sda1");

    // The changing verbs act on the same device: sda's partition.
    const Outcome mounted = system.run({"mount", "sdas1"});
    EXPECT_EQ(mounted.status, 0) << mounted.err;
    EXPECT_EQ(mounted.out, "Volume sda1 mounted at " + (system.roots().media / "alice/sda").string() + "\n");
}

TEST_F(ManyDisks, UnmountOfThePartitionFormLeavesTheOtherDiskMounted)
{
    // The folders stand in for the mounts: this program removes the empty
    // mount folders it unmounts.
    fs::create_directories(system.roots().media / "alice/sda");
    fs::create_directories(system.roots().media / "alice/sdas");
    const Outcome outcome = system.run({"unmount", "sdas1"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "Volume sda1 unmounted\n");
    EXPECT_FALSE(fs::exists(system.roots().media / "alice/sda"));
    EXPECT_TRUE(fs::is_directory(system.roots().media / "alice/sdas")) << "the other disk's mount was touched";
}

TEST_F(ManyDisks, ANameBothReadingsCouldMeanIsRefused)
{
    // sda loses its partition: "sdas1" could now be the partition the
    // caller expects on sda (not there yet) or the kernel's sdas1.
    fs::remove(system.sys() / "class/block/sda1");
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"info", "-plist", "sdas1"}, {"mount", "sdas1"}, {"unmount", "sdas1"}}) {
        const Outcome outcome = system.run(arguments);
        EXPECT_EQ(outcome.status, 1) << arguments[0];
        EXPECT_EQ(outcome.out, "") << arguments[0];
        EXPECT_EQ(outcome.err, "The identifier sdas1 is ambiguous: sda has no partition 1, and sdas1 is another "
                               "device (sdas); it is not used.\n");
    }
    // The kernel's name through the partition form of its own disk.
    EXPECT_EQ(identifierOf("sdass1"), "sdas1");
}

} // namespace
} // namespace sarnovelle::test
