// The detach of a stale mount on the real kernel: a bind mount of a
// temporary folder stands for a pulled stick's mount, its device number
// missing from a fake sysfs. Needs root; skips otherwise.

#include "TempDir.h"

#include "linux/diskutil/devices/Mounts.h"
#include "linux/diskutil/backends/kernel/StaleMounts.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace sarnovelle::test {
namespace {

standin::Roots realMounts(const TempDir& dir)
{
    standin::Roots roots;
    roots.sysfs = dir / "sys";
    roots.media = dir / "media";
    return roots; // /proc and /dev are the machine's
}

bool isMounted(const standin::Roots& roots, const fs::path& place)
{
    return standin::mountAt(standin::readMountInfo(roots), place.string()).has_value();
}

class RealStaleMount : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir / "sys/class/block");
        fs::create_directories(dir / "media/alice/SARNOVELLE");
        fs::create_directories(dir / "elsewhere/GONE");
        fs::create_directories(dir / "stick");
        std::ofstream(dir / "stick/BOOTX64.EFI") << "image";
        for (const auto& place : {stale, outside}) {
            if (::mount((dir / "stick").c_str(), place.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                GTEST_SKIP() << "Cannot make a bind mount here (needs root): " << std::strerror(errno);
            }
            mounted.push_back(place);
        }
        const auto entry = standin::mountAt(standin::readMountInfo(roots), stale.string());
        ASSERT_TRUE(entry) << "the bind mount is not in mountinfo";
        if (entry->device.major == 0 || !entry->source.starts_with("/dev/")) {
            GTEST_SKIP() << "The temporary folder's file system is not on a block device (" << entry->source << ")";
        }
        // A sysfs that lists one block device, not the one holding the
        // temporary folder.
        const fs::path block = dir / "sys/devices/virtual/block/zram0";
        fs::create_directories(block);
        std::ofstream(block / "dev") << entry->device.major << ":" << entry->device.minor + 1 << "\n";
        fs::create_directory_symlink(block, dir / "sys/class/block/zram0");
    }

    void TearDown() override
    {
        for (const auto& place : mounted) {
            if (isMounted(roots, place)) {
                ::umount2(place.c_str(), MNT_DETACH);
            }
        }
    }

    TempDir dir;
    standin::Roots roots = realMounts(dir);
    fs::path stale = dir / "media/alice/SARNOVELLE";
    fs::path outside = dir / "elsewhere/GONE";
    std::vector<fs::path> mounted;
};

TEST_F(RealStaleMount, IsDetachedAndItsFolderRemovedWhileOthersStay)
{
    const standin::BlockTree tree(roots);
    const auto table = standin::readMountInfo(roots);
    ASSERT_EQ(standin::staleMounts(tree, table, dir / "media/alice").size(), 1U);

    standin::clearStaleMounts(tree, table, dir / "media/alice");

    EXPECT_FALSE(isMounted(roots, stale));
    EXPECT_FALSE(fs::exists(stale)) << "the empty folder stayed";
    EXPECT_TRUE(isMounted(roots, outside)) << "a mount outside the user's folder was detached";
    EXPECT_EQ(readText(dir / "stick/BOOTX64.EFI"), "image") << "the detach touched the files";
}

} // namespace
} // namespace sarnovelle::test
