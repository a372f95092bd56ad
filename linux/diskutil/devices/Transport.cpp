#include "linux/diskutil/devices/Transport.h"

#include "linux/diskutil/devices/Files.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The length of the run of digits at `text[pos]`.
std::size_t digitsAt(std::string_view text, std::size_t pos)
{
    std::size_t count = 0;
    while (pos + count < text.size() && isDigit(text[pos + count])) {
        ++count;
    }
    return count;
}

// "ata" followed by digits only: a SATA port.
bool isAtaPort(std::string_view name)
{
    return name.starts_with("ata") && name.size() > 3 && digitsAt(name, 3) == name.size() - 3;
}

// Kernel names of block devices that are no physical disk: loop, RAM,
// compressed RAM, mapped, RAID, network and optical devices.
bool hasVirtualName(std::string_view name)
{
    for (const std::string_view prefix : {"loop", "ram", "zram", "dm-", "md", "nbd", "sr", "zd", "rbd", "ubiblock"}) {
        if (name.starts_with(prefix) && digitsAt(name, prefix.size()) > 0) {
            return true;
        }
    }
    return false;
}

// The boot and RPMB areas of an MMC device: mmcblkNbootM, mmcblkNrpmb.
bool isMmcArea(std::string_view name)
{
    if (!name.starts_with("mmcblk")) {
        return false;
    }
    const std::size_t digits = digitsAt(name, 6);
    if (digits == 0) {
        return false;
    }
    const std::string_view rest = name.substr(6 + digits);
    return rest == "rpmb" || (rest.starts_with("boot") && rest.size() > 4 && digitsAt(rest, 4) == rest.size() - 4);
}

// The folders from the device's own up to (not including) <sysfs>/devices.
std::vector<fs::path> ancestors(const BlockTree& tree, const std::string& disk)
{
    std::vector<fs::path> chain;
    const auto folder = tree.deviceFolder(disk);
    if (!folder) {
        return chain;
    }
    std::error_code error;
    const fs::path top = fs::weakly_canonical(tree.roots().sysfs / "devices", error);
    for (fs::path at = *folder; at.has_relative_path() && at != top; at = at.parent_path()) {
        chain.push_back(at);
        if (at == at.parent_path()) {
            break;
        }
    }
    return chain;
}

// The bus a sysfs device folder belongs to: the last part of its
// "subsystem" link.
std::string subsystemOf(const fs::path& folder)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(folder / "subsystem", error);
    return error ? std::string() : target.filename().string();
}

bool underVirtual(const BlockTree& tree, const std::string& disk)
{
    const auto folder = tree.deviceFolder(disk);
    std::error_code error;
    const fs::path virtualRoot = fs::weakly_canonical(tree.roots().sysfs / "devices/virtual", error);
    if (!folder || error) {
        return false;
    }
    const auto [rootEnd, at] = std::mismatch(virtualRoot.begin(), virtualRoot.end(), folder->begin(), folder->end());
    return rootEnd == virtualRoot.end();
}

} // namespace

std::optional<fs::path> usbDeviceFolder(const BlockTree& tree, const std::string& disk)
{
    for (const auto& folder : ancestors(tree, disk)) {
        if (subsystemOf(folder) == "usb") {
            return folder;
        }
    }
    return std::nullopt;
}

std::optional<fs::path> removableUsbDevice(const BlockTree& tree, const std::string& disk)
{
    for (const auto& folder : ancestors(tree, disk)) {
        std::error_code error;
        if (subsystemOf(folder) == "usb" && fs::exists(folder / "remove", error)) {
            return folder;
        }
    }
    return std::nullopt;
}

std::string busProtocol(const BlockTree& tree, const std::string& disk)
{
    bool ata = false;
    bool nvme = false;
    bool mmc = false;
    bool virtualBus = false;
    bool scsi = false;
    for (const auto& folder : ancestors(tree, disk)) {
        const std::string bus = subsystemOf(folder);
        if (bus == "usb") {
            return "USB";
        }
        ata = ata || isAtaPort(folder.filename().string());
        nvme = nvme || bus == "nvme";
        mmc = mmc || bus == "mmc";
        virtualBus = virtualBus || bus == "virtio" || bus == "xen" || bus == "xen-backend";
        scsi = scsi || bus == "scsi";
    }
    if (ata) {
        return "SATA";
    }
    if (nvme) {
        return "PCI-Express";
    }
    if (mmc) {
        return "Secure Digital";
    }
    if (virtualBus || underVirtual(tree, disk)) {
        return "Virtual";
    }
    if (scsi) {
        return "SCSI";
    }
    return "Unknown";
}

bool isRemovable(const BlockTree& tree, const std::string& disk)
{
    return tree.attribute(disk, "removable") == "1";
}

bool isExternal(const BlockTree& tree, const std::string& disk)
{
    return isRemovable(tree, disk) || usbDeviceFolder(tree, disk).has_value();
}

bool isPhysical(const BlockTree& tree, const std::string& disk)
{
    if (hasVirtualName(disk) || isMmcArea(disk) || underVirtual(tree, disk)) {
        return false;
    }
    // SCSI peripheral type 5: CD/DVD drive.
    if (tree.attribute(disk, "device/type") == "5" || tree.attribute(disk, "hidden") == "1") {
        return false;
    }
    return tree.sizeBytes(disk) > 0;
}

std::string mediaName(const BlockTree& tree, const std::string& disk)
{
    std::string vendor = tree.attribute(disk, "device/vendor").value_or("");
    if (vendor.starts_with("0x")) {
        vendor.clear(); // a PCI or virtio vendor number, not a name
    }
    std::string model = tree.attribute(disk, "device/model").value_or("");
    if (model.empty()) {
        model = tree.attribute(disk, "device/name").value_or("");
    }
    return foldBlanks(vendor + " " + model);
}

} // namespace sarnovelle::standin
