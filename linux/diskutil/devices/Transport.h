#pragma once

#include "linux/diskutil/devices/BlockTree.h"

#include <optional>
#include <string>

namespace sarnovelle::standin {

// How a whole disk is attached, read from its ancestors in the sysfs
// device tree: "USB" when a USB device is among them (whatever sits in
// between), otherwise "SATA", "PCI-Express" (NVMe), "Secure Digital"
// (MMC/SD), "Virtual" (virtio, Xen, and the kernel's own virtual
// devices), "SCSI", or "Unknown".
std::string busProtocol(const BlockTree& tree, const std::string& disk);

bool isRemovable(const BlockTree& tree, const std::string& disk);
// External: attached by USB, or removable media.
bool isExternal(const BlockTree& tree, const std::string& disk);
// A real storage device with a medium: no loop, RAM, zram, device-mapper,
// md, nbd or other virtual block device, no optical drive, no eMMC boot
// or RPMB area, no hidden device and no empty card reader.
bool isPhysical(const BlockTree& tree, const std::string& disk);
// Vendor and model (or the card's name), blanks folded.
std::string mediaName(const BlockTree& tree, const std::string& disk);

// The nearest USB device or interface above the disk, if any (its sysfs
// folder).
std::optional<std::filesystem::path> usbDeviceFolder(const BlockTree& tree, const std::string& disk);
// The nearest USB device above the disk that the kernel can take off its
// port (it has a "remove" attribute), if any.
std::optional<std::filesystem::path> removableUsbDevice(const BlockTree& tree, const std::string& disk);

} // namespace sarnovelle::standin
