#pragma once

#include "core/Diskutil.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sarnovelle {

// One candidate USB whole disk.
struct UsbDisk {
    std::string id;       // whole-disk identifier, without "/dev/"
    std::string name;     // media name, trimmed; may be empty
    std::uint64_t size = 0; // bytes
    std::string serial;   // USB serial number, trimmed; may be empty
    // The kernel's sequence number of the disk (Linux since 5.15): a new
    // one for every attach, so a stick pulled and plugged in again, or
    // another stick under the same name, never has the listed one.
    // Absent where the platform has none.
    std::optional<std::uint64_t> sequence = std::nullopt;

    // "<id>: <name>  <size/1e9 as %.1f> GB  (serial <serial>)", with "." as
    // the decimal separator whatever the locale.
    std::string label() const;
};

// The USB whole disks that may be erased, in the disk utility's order.
// Throws MakerError("diskutil list failed.") when the disks cannot be
// listed.
std::vector<UsbDisk> listUsbDisks(const DiskEnv& env = DiskEnv{});

// The reason given for a USB disk whose medium cannot be written.
inline constexpr std::string_view writeProtectedReason = "write-protected (its lock switch may be on)";

// A whole disk the disk utility listed that listUsbDisks leaves out.
struct LeftOutDisk {
    std::string id;     // as listed, possibly not a plain disk name
    std::string reason; // why, for the user: "system disk", "internal", ...
};

// One listing with its leftovers: every whole disk the disk utility
// listed is either in `disks` or in `leftOut`, each in the listed order.
struct UsbDiskSurvey {
    std::vector<UsbDisk> disks; // exactly what listUsbDisks returns
    std::vector<LeftOutDisk> leftOut;
};

// listUsbDisks, also saying why each other listed disk was left out. Runs
// the same queries and fails the same way.
UsbDiskSurvey surveyUsbDisks(const DiskEnv& env = DiskEnv{});

// The disk sequence number of a whole disk (see UsbDisk::sequence).
std::optional<std::uint64_t> diskSequence(const DiskEnv& env, const std::string& identifier);

// The USB serial number of a whole disk, trimmed; empty when there is none.
std::string usbSerial(const DiskEnv& env, const std::string& identifier);

} // namespace sarnovelle
