#pragma once

#include "core/Bytes.h"
#include "core/Diskutil.h"
#include "core/ToolRunner.h"
#include "disks/UsbDisks.h"

#include <string>

namespace sarnovelle {

// Turns the chosen USB disk into a boot stick holding `image` as
// /EFI/BOOT/BOOTX64.EFI and proves it by reading it back. Returns normally
// on success; throws MakerError, or the std::filesystem::filesystem_error
// of the boot directory's creation, on failure. Progress goes to `log`.
void makeUsb(const UsbDisk& disk, const Bytes& image, const std::string& imageHash,
             const LogSink& log, const DiskEnv& env = DiskEnv{});

} // namespace sarnovelle
