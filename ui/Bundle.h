#pragma once

#include "core/Bytes.h"
#include "core/ImageCheck.h"

#include <filesystem>
#include <string>

namespace sarnovelle {

// Where the application's bundle keeps the boot image and its information
// dictionary (which records the image's expected SHA-256).
struct Bundle {
    std::filesystem::path image;     // the boot image, "BOOTX64.EFI"
    std::filesystem::path infoPlist; // the information dictionary

    // The two files side by side in one folder, as the application ships
    // them on Linux.
    static Bundle inFolder(const std::filesystem::path& folder);

    // The running application's own bundle, found relative to its
    // executable: <datadir>/sarnovelle-usb-maker/ on Linux, reached from
    // the executable's folder by the path between the configured install
    // directories (build and install trees alike); the .app bundle's
    // Resources and Info.plist on macOS. Needs the application object.
    static Bundle main();
};

// Reads the image whole and compares its digest with the text stored under
// SarnovelleImageSHA256, exactly as stored: no trimming, no case folding.
// Never fails; a missing file or key just yields a failed verdict.
VerifiedImage verifyImage(const Bundle& bundle);

} // namespace sarnovelle
