// Live systems: a root overlay is followed through its layers, upper and
// work folders to the disks they lie on (the stick the system runs from, a
// persistence partition); a live medium counts even when nothing is built
// on it.

#include "SystemDisksFixture.h"
#include "linux/diskutil/checks/Overlay.h"

namespace sarnovelle::test {
namespace {

using Folders = std::vector<std::string>;

TEST(OverlayFolders, LayerListsAreSplitWhereTheKernelPutItsSeparators)
{
    // Older kernels and the plain option: the overlay's own "\:" for a
    // colon in a name, its backslash written as \134, blanks as \040.
    EXPECT_EQ(standin::overlayFolders(
                  R"(rw,relatime,lowerdir=/a\134:b:/c\040d/,upperdir=/u/rw,workdir=/u/work,index=off)"),
              (Folders{"/a:b", "/c d", "/u/rw", "/u/work"}));
    // Colons escaped as \072, data-only layers after "::", a comma in a name.
    EXPECT_EQ(standin::overlayFolders(R"(rw,lowerdir=/a\072b:/c::/data1::/data2,upperdir=/u\054v,workdir=/w)"),
              (Folders{"/a:b", "/c", "/data1", "/data2", "/u,v", "/w"}));
    // One layer per option: its colons are part of the name.
    EXPECT_EQ(standin::overlayFolders(R"(rw,lowerdir+=/l1,lowerdir+=/l\072\0402,datadir+=/d,upperdir=/u,workdir=/w)"),
              (Folders{"/l1", "/l: 2", "/d", "/u", "/w"}));
}

TEST(OverlayFolders, OnlyPlaceablePathsAreNamedAndPlain)
{
    EXPECT_EQ(standin::overlayFolders("rw,lowerdir=lower://filesystem.squashfs:/a/./b/../c/,upperdir=up,workdir=/w/"),
              (Folders{"/filesystem.squashfs", "/a/c", "/w"}));
    EXPECT_EQ(standin::overlayFolders("rw"), Folders{});
    EXPECT_EQ(standin::overlayFolders(""), Folders{});
    EXPECT_EQ(standin::overlayFolders("rw,lowerdir=,upperdir"), Folders{});
}

class LiveSystem : public SystemDisksFixture {};

TEST_F(LiveSystem, DebianLiveRootIsTracedToTheStickItRunsFrom)
{
    // As live-boot leaves it: the stick's partition at /run/live/medium,
    // the squashfs image on it through loop0, the changes on a tmpfs.
    system.mount("8:17", "/run/live/medium", "vfat", "/dev/sdb1");
    system.attribute("loop0", "loop/backing_file", "/run/live/medium/live/filesystem.squashfs");
    system.mount("7:0", "/run/live/rootfs/filesystem.squashfs", "squashfs", "/dev/loop0");
    system.mount("0:30", "/run/live/overlay", "tmpfs", "tmpfs");
    system.mount("0:31", "/", "overlay", "overlay", "/",
                 "rw,lowerdir=/run/live/rootfs/filesystem.squashfs/,upperdir=/run/live/overlay/rw,"
                 "workdir=/run/live/overlay/work,redirect_dir=on,index=off");

    const PlistDict answer = rootInfo();
    EXPECT_EQ(answer.text("FilesystemType"), "overlay");
    EXPECT_EQ(stores(answer), (std::vector<std::string>{"loop0", "sdb1"}));
    EXPECT_EQ(excludedDisks(answer), (std::vector<std::string>{"loop0", "sdb"}));
    expectRefused("sdb");
}

TEST_F(LiveSystem, UpperFolderOnAPersistencePartitionOfAnotherDisk)
{
    // As casper leaves it: the lower layer named in the early boot's own
    // folders (no longer to be found), the medium at /cdrom, the changes
    // kept on a partition of a second stick mounted at /cow.
    system.mount("8:17", "/cdrom", "iso9660", "/dev/sdb1");
    system.attribute("loop0", "loop/backing_file", "/cdrom/casper/filesystem.squashfs");
    system.mount("7:0", "/rofs", "squashfs", "/dev/loop0");
    system.mount("8:33", "/cow", "ext4", "/dev/sdc1");
    system.mount("0:31", "/", "overlay", "/cow", "/",
                 "rw,lowerdir=//filesystem.squashfs,upperdir=/cow/upper,workdir=/cow/work");

    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"sdc1", "sdb1"}));
    expectRefused("sdc");
    expectRefused("sdb");
}

TEST_F(LiveSystem, LayerNamesWithBlanksAndColonsAreFound)
{
    system.mount("259:1", "/srv/my layers", "ext4", "/dev/nvme0n1p1");
    system.mount("8:17", "/srv/b:c", "vfat", "/dev/sdb1");
    system.mount("0:31", "/", "overlay", "overlay", "/",
                 R"(rw,lowerdir=/srv/my\040layers/base:/srv/b\134:c/lower,upperdir=/run/rw,workdir=/run/work)");
    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"nvme0n1p1", "sdb1"}));
    expectRefused("sdb");
}

TEST_F(LiveSystem, OverlaysOverTheirOwnFoldersAndOverEachOtherAreFollowedOnce)
{
    // /data is an overlay mounted over its own lower folder (sdc1), with
    // its upper folder in the overlay at /scratch, whose lower layer is
    // /data again.
    system.mount("8:33", "/data", "ext4", "/dev/sdc1");
    system.mount("0:41", "/data", "overlay", "overlay", "/", "rw,lowerdir=/data,upperdir=/scratch/up,workdir=/scratch/wk");
    system.mount("0:42", "/scratch", "overlay", "overlay", "/", "rw,lowerdir=/data/base,upperdir=/data/up,workdir=/data/wk");
    system.mount("0:31", "/", "overlay", "overlay", "/", "rw,lowerdir=/data/root,upperdir=/scratch/root,workdir=/scratch/w");
    EXPECT_EQ(stores(rootInfo()), (std::vector<std::string>{"sdc1"}));
    expectRefused("sdc");
}

TEST_F(LiveSystem, LiveMediumCountsWithoutAnOverlayOnIt)
{
    // The medium stays mounted when the system was copied to memory.
    for (const std::string place : {"/run/live/medium", "/lib/live/mount/medium", "/cdrom", "/isodevice",
                                    "/run/initramfs/live", "/run/archiso/bootmnt", "/run/live/persistence/sdb1"}) {
        FakeSystem live;
        addTypicalDisks(live);
        live.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        live.mount("8:17", place, "vfat", "/dev/sdb1");
        const auto answer = live.run({"info", "-plist", "/"}).plist();
        ASSERT_TRUE(answer) << place;
        EXPECT_EQ(stores(*answer), (std::vector<std::string>{"nvme0n1p1", "sdb1"})) << place;
    }
    // Places that only look alike are a user's own mounts.
    for (const std::string place : {"/media/alice/cdrom", "/cdrom2", "/run/livestream", "/mnt/run/live/medium"}) {
        FakeSystem other;
        addTypicalDisks(other);
        other.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        other.mount("8:17", place, "vfat", "/dev/sdb1");
        const auto answer = other.run({"info", "-plist", "/"}).plist();
        ASSERT_TRUE(answer) << place;
        EXPECT_EQ(stores(*answer), (std::vector<std::string>{"nvme0n1p1"})) << place;
    }
    system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
    system.mount("8:17", "/cdrom", "iso9660", "/dev/sdb1");
    expectRefused("sdb");
}

} // namespace
} // namespace sarnovelle::test
