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

} // namespace sarnovelle
