#pragma once

#include "core/Bytes.h"

#include <string>

namespace sarnovelle {

// SHA-256 of the bytes as exactly 64 upper-case hexadecimal digits.
// Digest texts are compared as exact, case-sensitive text.
std::string sha256Hex(ByteView data);

} // namespace sarnovelle
