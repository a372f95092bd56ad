#pragma once

#include "core/Bytes.h"

#include <string>
#include <string_view>
#include <vector>

namespace sarnovelle {

// Decodes bytes as UTF-8; every ill-formed sequence (maximal subpart)
// becomes U+FFFD. The result is always valid UTF-8.
std::string decodeUtf8Lossy(ByteView bytes);

// Splits valid UTF-8 text at U+000A, U+000B, U+000C, U+000D, U+0085,
// U+2028 and U+2029, a CR LF pair counting as one break. Empty pieces are
// dropped.
std::vector<std::string_view> splitLines(std::string_view text);

// Removes the characters of general category Zs and U+0009 from both ends
// of valid UTF-8 text. Line breaks are kept.
std::string_view trimWhitespace(std::string_view text);

} // namespace sarnovelle
