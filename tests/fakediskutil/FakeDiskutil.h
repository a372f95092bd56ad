#pragma once

// A fake disk utility for tests: a real program (target fake_diskutil) that
// replays a scenario folder, and this builder that writes the folder and
// reads back what the program was asked.
//
// Usage:
//   TempDir dir;
//   FakeDiskutil fake(dir / "scenario");
//   fake.listWholeDisks({"disk4"});
//   fake.usbDisk("disk4", "SanDisk Ultra", 16'000'000'000);
//   fake.simulateStick({.disk = "disk4"});
//   auto disks = listUsbDisks(fake.env());
//   EXPECT_EQ(fake.invocations()[0], (Arguments{"list", "-plist", "external", "physical"}));
//
// Scenario folder format (all written by this builder except where noted):
//   diskutil            symlink to the fake program; run it as the disk
//                       utility. The program takes the scenario folder from
//                       its own argv[0], so no environment variable is used.
//   invocations.log     written by the program: one line per run, the
//                       arguments separated by TAB; backslash, TAB and line
//                       feed inside an argument appear as \\, \t and \n.
//   rules/<n>/args      the exact argument list rule n answers, every
//                       argument followed by a NUL byte. Rules are tried in
//                       numeric order; the first equal list answers.
//   rules/<n>/answers/<k>/output  bytes printed for the k-th run (from 0)
//   rules/<n>/answers/<k>/status  exit status in decimal (0 when missing)
//   rules/<n>/answers/<k>/break   when present: after answering, the
//                       program removes the "diskutil" link, so every
//                       later run fails to start (runTool status -1).
//   rules/<n>/calls     written by the program: runs answered so far. Once
//                       the answers are used up, the last one repeats.
//   stick/config        key=value lines of the simulated stick: disk
//                       (whole-disk identifier, e.g. disk4), mountDelay
//                       (info queries reporting an empty MountPoint after
//                       each mount), filesystem (FilesystemType, default
//                       msdos), ejectStatus, remountSamePath (0 or 1),
//                       and the partition's label and layout keys in info
//                       (label, offset, size, type, content, filesystemName).
//   stick/state         written by the program: the stick's state.
//   volumes/            written by the program: the partition's mount
//                       points. partitionDisk empties this folder and mounts
//                       a fresh empty volumes/<label>; unmount moves it to
//                       volumes/.unmounted; mount moves it back, to
//                       volumes/<label> <n> for the n-th remount unless
//                       remountSamePath is 1.
// A run that no rule answers goes to the stick simulation when a stick is
// configured: "partitionDisk" "/dev/<disk>" "MBR" "MS-DOS FAT32" <label>
// <size> "Free Space" "none" "R"; "info" "-plist" <part>; "unmount" <part>;
// "mount" <part>; "eject" "/dev/<disk>", where <part> is the platform's name
// of partition 1 (firstPartitionId: disk4p1 on Linux). Anything else
// prints "fake diskutil: no answer for: ..." and exits with 1.

#include "core/Diskutil.h"
#include "core/Plist.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sarnovelle::test {

using Arguments = std::vector<std::string>;

struct FakeAnswer {
    std::string output;
    int status = 0;
    // After this answer the disk utility can no longer be started.
    bool breakAfter = false;
};

struct FakeStick {
    std::string disk = "disk4";
    int mountDelay = 0;
    std::string filesystem = "msdos";
    int ejectStatus = 0;
    bool remountSamePath = false;
    // What info answers about the partition; the defaults are a stick as
    // a run makes it.
    std::string label = "SARNOVELLE";
    std::uint64_t offset = 1048576;
    std::uint64_t size = 1073741824;
    unsigned type = 0x0c;
    std::string content = "DOS_FAT_32";
    std::string filesystemName = "MS-DOS (FAT32)";
};

class FakeDiskutil {
public:
    // Creates `folder` (and its parents) and the "diskutil" link in it.
    explicit FakeDiskutil(std::filesystem::path folder);

    // The fake program itself.
    static std::string programPath();

    const std::filesystem::path& folder() const { return folder_; }
    // The disk utility to run: folder/diskutil.
    std::string path() const;
    // An empty sysfs tree inside the folder (folder/sys), for FakeSysfs.
    std::filesystem::path sysfsRoot() const;
    // The disk utility and sysfs root above.
    DiskEnv env() const;

    // Answers for one exact argument list, used in turn, the last one
    // repeating. Replaces earlier answers for the same list.
    void answer(const Arguments& arguments, const std::vector<FakeAnswer>& answers);
    void answer(const Arguments& arguments, const FakeAnswer& answer);
    // Status 0 and the dictionary as an XML property list.
    void answer(const Arguments& arguments, const PlistDict& plist);
    // Several dictionaries in turn, each with status 0.
    void answer(const Arguments& arguments, const std::vector<PlistDict>& plists);

    // "list" "-plist" "external" "physical" answering WholeDisks.
    void listWholeDisks(const std::vector<std::string>& identifiers);
    // "info" "-plist" "/" answering ParentWholeDisk and, when `stores` is
    // not empty, APFSPhysicalStores.
    void rootVolume(const std::string& parentWholeDisk, const std::vector<std::string>& stores = {});
    // "info" "-plist" <identifier> answering ParentWholeDisk only.
    void parentOf(const std::string& identifier, const std::string& parentWholeDisk);
    // The information of a USB whole disk that qualifies for listing.
    static PlistDict usbDiskInfo(const std::string& mediaName, std::uint64_t size);
    // "info" "-plist" <identifier> answering usbDiskInfo.
    void usbDisk(const std::string& identifier, const std::string& mediaName, std::uint64_t size);

    void simulateStick(const FakeStick& stick);
    // A simulated stick made earlier: its volume holds `files` (paths
    // relative to the volume) and is mounted (as an automounter would) or
    // not. Whether it was last mounted read-only shows in readOnlyMount().
    void madeStick(const FakeStick& stick, const std::vector<std::pair<std::string, std::string>>& files,
                   bool mounted);
    bool readOnlyMount() const;
    // The simulated partition's current mount point; empty when unmounted.
    std::string stickMountPoint() const;

    // Every run so far, in order.
    std::vector<Arguments> invocations() const;
    // How many runs had exactly these arguments.
    int count(const Arguments& arguments) const;
    void clearInvocations() const;

private:
    std::filesystem::path folder_;
};

} // namespace sarnovelle::test
