#pragma once

// A fake Linux sysfs tree for usbSerial: class/block/<id> links into
// devices/..., as the kernel lays it out.

#include <filesystem>
#include <optional>
#include <string>

namespace sarnovelle::test {

class FakeSysfs {
public:
    // `root` is created if needed; pass FakeDiskutil::sysfsRoot() or any
    // temporary folder, and use it as DiskEnv::sysfsRoot.
    explicit FakeSysfs(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }

    // A disk on a USB stick behind a root hub, as a real stick appears:
    // devices/pci0000:00/0000:00:14.0/usbN/N-1/N-1:1.0/hostN/.../block/<id>.
    // `serialAttribute` is the stick's "serial" file verbatim (the kernel
    // ends it with a line feed); absent: the stick has no serial file. The
    // root hub has a serial of its own ("0000:00:14.0"), as on real hardware.
    void usbDisk(const std::string& id, const std::optional<std::string>& serialAttribute);

    // A SATA disk: no USB device above it.
    void sataDisk(const std::string& id);

    // A block device at devices/<devicePath>/block/<id>, linked from
    // class/block/<id>; returns the device folder for attributes.
    std::filesystem::path blockDevice(const std::string& id, const std::string& devicePath);
    // Writes an attribute file `name` in `folder` (relative to root/devices
    // when relative).
    void attribute(const std::filesystem::path& folder, const std::string& name, const std::string& content);

private:
    std::filesystem::path root_;
    int nextBus_ = 1;
};

} // namespace sarnovelle::test
