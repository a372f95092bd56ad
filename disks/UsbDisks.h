#pragma once

#include "core/Diskutil.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sarnovelle {

// One candidate USB whole disk.
struct UsbDisk {
    std::string id;       // whole-disk identifier, without "/dev/"
    std::string name;     // media name, trimmed; may be empty
    std::uint64_t size = 0; // bytes
    std::string serial;   // USB serial number, trimmed; may be empty

    // "<id>: <name>  <size/1e9 as %.1f> GB  (serial <serial>)", with "." as
    // the decimal separator whatever the locale.
    std::string label() const;
};

// The USB whole disks that may be erased, in the disk utility's order.
// Throws MakerError("diskutil list failed.") when the disks cannot be
// listed.
std::vector<UsbDisk> listUsbDisks(const DiskEnv& env = DiskEnv{});

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

// The USB serial number of a whole disk, trimmed; empty when there is none.
std::string usbSerial(const DiskEnv& env, const std::string& identifier);

} // namespace sarnovelle
