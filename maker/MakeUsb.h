#pragma once

#include "core/Bytes.h"
#include "core/Diskutil.h"
#include "core/ToolRunner.h"
#include "disks/UsbDisks.h"

#include <string>
#include <string_view>

namespace sarnovelle {

// The log line of a prepared stick that could not be ejected; it names the
// platform's file manager.
#ifdef __APPLE__
inline constexpr std::string_view ejectFailedLine = "Eject failed. Eject the USB in Finder before removing it.";
#else
inline constexpr std::string_view ejectFailedLine =
    "Eject failed. Eject the USB in the file manager before removing it.";
#endif

// What a successful run reports besides the prepared stick.
struct MakeUsbResult {
    // The stick is verified but still mounted: the user has to eject it
    // before removing it (ejectFailedLine is in the log).
    bool ejectFailed = false;
};

// Turns the chosen USB disk into a boot stick holding `image` as
// /EFI/BOOT/BOOTX64.EFI and proves it by reading it back. Returns on
// success; throws MakerError, or the std::filesystem::filesystem_error of
// the boot directory's creation, on failure. Progress goes to `log`.
MakeUsbResult makeUsb(const UsbDisk& disk, const Bytes& image, const std::string& imageHash,
                      const LogSink& log, const DiskEnv& env = DiskEnv{});

} // namespace sarnovelle
