// Mounts left behind by sticks pulled while mounted: which ones the
// program may detach (only gone block devices in the user's own media
// folder), and that the next stick then gets the folder name again.

#include "FakeSystem.h"

#include "core/ToolRunner.h"
#include "linux/diskutil/devices/Helpers.h"
#include "linux/diskutil/devices/Mounts.h"
#include "linux/diskutil/backends/kernel/StaleMounts.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace sarnovelle::test {
namespace {

class StaleMounts : public ::testing::Test {
protected:
    void SetUp() override
    {
        addTypicalDisks(system);
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
    }

    std::string place(const std::string& relative) const { return (system.roots().media / relative).string(); }

    std::vector<std::string> staleIn(const FakeSystem& machine, const std::string& user) const
    {
        const standin::BlockTree tree(machine.roots());
        std::vector<std::string> found;
        for (const auto& entry :
             standin::staleMounts(tree, standin::readMountInfo(machine.roots()), machine.roots().media / user)) {
            found.push_back(entry.mountPoint);
        }
        return found;
    }

    FakeSystem system;
};

TEST_F(StaleMounts, OnlyGoneBlockDevicesDirectlyInTheUsersFolderAreStale)
{
    system.mount("8:49", place("alice/SARNOVELLE"), "vfat", "/dev/sdd1");        // pulled
    system.mount("8:17", place("alice/STICK"), "vfat", "/dev/sdb1");             // still there
    system.mount("0:52", place("alice/NTFS"), "fuseblk", "/dev/sdc1");           // FUSE: no device number
    system.mount("0:53", place("alice/share"), "cifs", "//server/share");        // network
    system.mount("8:65", place("bob/OLD"), "vfat", "/dev/sde1");                 // another user's
    system.mount("8:81", place("alice/STICK/inner"), "vfat", "/dev/sdf1");       // not directly inside
    system.mount("8:97", "/mnt/gone", "ext4", "/dev/sdg1");                      // elsewhere
    system.mount("8:113", place("alice/COVERED"), "vfat", "/dev/sdh1");          // pulled, but covered
    system.mount("8:33", place("alice/COVERED"), "vfat", "/dev/sdc1");           // by a live mount
    system.mount("8:129", place("alice/TWICE"), "vfat", "/dev/sdi1");            // pulled twice at
    system.mount("8:145", place("alice/TWICE"), "vfat", "/dev/sdj1");            // the same place
    EXPECT_EQ(staleIn(system, "alice"), (std::vector<std::string>{place("alice/SARNOVELLE"), place("alice/TWICE")}));
    EXPECT_EQ(staleIn(system, "bob"), (std::vector<std::string>{place("bob/OLD")}));
}

TEST_F(StaleMounts, NothingIsStaleWhenTheKernelListsNoDevices)
{
    FakeSystem bare; // sysfs without block devices: every number would look gone
    bare.mount("8:49", (bare.roots().media / "alice/SARNOVELLE").string(), "vfat", "/dev/sdd1");
    EXPECT_EQ(staleIn(bare, "alice"), std::vector<std::string>{});
}

TEST_F(StaleMounts, AMountLeftByAPulledStickIsNeitherReusedNorInTheWay)
{
    const auto mkfs = standin::findHelper("mkfs.fat");
    if (!mkfs) {
        GTEST_SKIP() << "mkfs.fat is missing";
    }
    const fs::path volume = system.node("sdb1", 8 << 20);
    ASSERT_EQ(runTool(*mkfs, {"-n", "SARNOVELLE", volume.string()}).status, 0);

    // The pulled stick was sdb too: its mount names /dev/sdb1 and keeps
    // its old device number, which the kernel no longer lists.
    const fs::path stale = place("alice/SARNOVELLE");
    fs::create_directories(stale);
    system.mount("8:49", stale.string(), "vfat", "/dev/sdb1");
    const fs::path other = place("alice/OTHER");
    fs::create_directories(other);
    std::ofstream(other / "notes.txt") << "kept";
    system.mount("8:33", other.string(), "vfat", "/dev/sdc1");

    const Outcome outcome = system.run({"mount", "sdbs1"});
    // A file is no block device, so the mount itself fails here, naming
    // the folder it was made for; the folder goes again after the failure.
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err.rfind("Could not mount sdb1 at " + stale.string() + ": ", 0), 0U) << outcome.err;
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_FALSE(fs::exists(place("alice/SARNOVELLE1")));
    EXPECT_EQ(readText(other / "notes.txt"), "kept");
}

} // namespace
} // namespace sarnovelle::test
