#pragma once

#include "core/Diskutil.h"
#include "core/ToolRunner.h"
#include "disks/UsbDisks.h"

#include <optional>
#include <string>
#include <variant>

namespace sarnovelle {

// How a check of a stick ended.
struct StickVerdict {
    bool ready = false;
    // "READY: sdb holds this image (SHA-256 ...)." or "NOT READY: <the
    // first check that failed>."
    std::string line;
};

// Checks, without writing a byte, whether the stick holds this image as a
// run makes it: the table and volume (see StickLayout.h), then
// /EFI/BOOT/BOOTX64.EFI read with every cache bypassed and its SHA-256
// compared with `imageHash`. A partition nobody has mounted is mounted
// read-only and unmounted afterwards; one mounted already (an automounter)
// is read where it is and left mounted. Nothing is ejected. Each step goes
// to `log`; every failure, the disk utility's included, ends in a NOT
// READY verdict rather than an exception.
StickVerdict checkStick(const UsbDisk& disk, const std::string& imageHash, const LogSink& log,
                        const DiskEnv& env = DiskEnv{});

// The stick to check for `id` in the listing: an offered disk, or one left
// out only because its medium is write-protected (checking writes
// nothing). Otherwise the reason it is refused, for the user.
std::variant<UsbDisk, std::string> checkableDisk(const UsbDiskSurvey& survey, const std::string& id,
                                                 const DiskEnv& env = DiskEnv{});

} // namespace sarnovelle
