#pragma once

#include "TempDir.h"
#include "core/Plist.h"
#include "linux/diskutil/Context.h"

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace sarnovelle::test {

// What one invocation of the disk utility gave.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;

    // The answer on stdout, parsed with the project's reader.
    std::optional<PlistDict> plist() const;
    std::vector<std::string> outLines() const;
    std::vector<std::string> errLines() const;
};

// A machine's kernel views in a temporary folder: sysfs device tree with
// class/block links, /proc/self/mountinfo and /proc/swaps, /dev and the
// media folder. Devices are placed as the kernel places them.
class FakeSystem {
public:
    FakeSystem();

    standin::Roots roots() const;

    // A device folder below sys/devices (e.g. "pci0000:00/0000:00:14.0/usb2/2-1")
    // belonging to `bus` (its "subsystem" link), made with its parents.
    void device(const std::string& path, const std::string& bus);
    // A file in a device folder (vendor, model, serial, delete...).
    void deviceFile(const std::string& path, const std::string& file, const std::string& content);

    // A whole disk below the device folder `parent` (its "device" link):
    // <parent>/block/<name>. Sectors of 512 bytes.
    void disk(const std::string& name, const std::string& parent, const std::string& dev, std::uint64_t sectors,
              bool removable = false);
    // A kernel virtual disk (loop, zram, dm, md) below devices/virtual/block.
    void virtualDisk(const std::string& name, const std::string& dev, std::uint64_t sectors);
    void partition(const std::string& disk, const std::string& name, unsigned number, const std::string& dev,
                   std::uint64_t sectors);
    // `holder` is built on `slave` (device-mapper, md).
    void slave(const std::string& holder, const std::string& slave);
    // An attribute file in a block device's folder ("dm/name", "hidden").
    void attribute(const std::string& name, const std::string& relative, const std::string& value);

    // One mountinfo line (the table starts with /proc's); the mount point
    // and source are escaped as the kernel escapes them.
    // `root` is the folder of the file system that is mounted (a bind
    // mount of a subfolder shows it); `superOptions` are written as they
    // stand, so they must be escaped as the kernel escapes them.
    void mount(const std::string& dev, const std::string& mountPoint, const std::string& fsType,
               const std::string& source, const std::string& root = "/", const std::string& superOptions = "rw");
    void swap(const std::string& path, const std::string& type);
    // A btrfs file system made of the named devices.
    void btrfs(const std::string& uuid, const std::vector<std::string>& devices);
    // A regular file standing for the device node in the fake /dev.
    std::filesystem::path node(const std::string& name, std::uint64_t bytes = 4096);

    std::filesystem::path sys() const { return dir_ / "sys"; }
    std::filesystem::path blockFolder(const std::string& name) const;

    Outcome run(const std::vector<std::string>& arguments, bool privileged = true) const;

    // Where a run asks udisks2 for the changes. By default a socket that
    // does not exist, so that the changes in fake trees never reach the
    // machine's own udisks2: root runs take the kernel's way.
    std::string systemBus = "unix:path=/nonexistent/sarnovelle-test-bus";
    std::filesystem::path udisksModule = SARNOVELLE_TEST_UDISKS_MODULE;
    // What the automounter does when a run accesses an automount point
    // (mount(...) of the real file system, say); by default nothing. The
    // machine's own folders are never opened.
    std::function<void(const std::string& mountPoint)> automounter;

private:
    TempDir dir_;
    std::string mountInfo_;
    std::string swaps_;
    int mountId_ = 20;
};

// A USB stick `disk` on port `port` of USB bus 2 (USB device with serial
// number and "remove", interface, SCSI host `host`, target and device with
// "delete"), without partitions.
void addUsbStick(FakeSystem& system, const std::string& disk, const std::string& port, unsigned host,
                 const std::string& dev, std::uint64_t sectors);

// The typical external disks and internal disks of a laptop with a USB
// stick, a USB card reader and a few virtual devices: sda (SATA, internal),
// sdb and sdc (USB sticks), nvme0n1 (NVMe), mmcblk0 (SD card, removable),
// loop0, zram0, sr0 (optical drive over USB).
void addTypicalDisks(FakeSystem& system);

} // namespace sarnovelle::test
