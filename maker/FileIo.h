#pragma once

#include "core/Bytes.h"

#include <string>

namespace sarnovelle {

// Creates or truncates `path` (mode 644), writes all of `data` and forces
// it to the medium. Throws MakerError naming the path and the system's
// error text.
void writeFile(const std::string& path, ByteView data);

// Reads the whole file at `path` with the data cache bypassed, so the bytes
// come from the medium. Throws MakerError naming the path and the system's
// error text.
Bytes readFileUncached(const std::string& path);

// Reads the file at `path` exactly as readFileUncached does, with the same
// failures, but hashes each piece as it arrives instead of keeping it, and
// returns the SHA-256 of the whole file as sha256Hex writes it. Memory
// stays at one read buffer whatever the file's size.
std::string sha256OfFileUncached(const std::string& path);

} // namespace sarnovelle
