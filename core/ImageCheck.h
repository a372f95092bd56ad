#pragma once

#include "core/Bytes.h"

#include <filesystem>
#include <string>

namespace sarnovelle {

// The verdict on the shipped boot image, reached once at start-up by the
// window and by the command line alike.
struct VerifiedImage {
    Bytes image;           // empty when the file is missing or unreadable
    std::string imageHash; // sha256Hex of `image`, or empty with it
    bool imageOk = false;  // the recorded digest equals imageHash exactly
};

// Reads `image` whole and compares its digest with the text stored under
// SarnovelleImageSHA256 in the property list `infoPlist`, exactly as
// stored: no trimming, no case folding. Never fails; a missing file or key
// just yields a failed verdict.
VerifiedImage verifyImage(const std::filesystem::path& image, const std::filesystem::path& infoPlist);

} // namespace sarnovelle
