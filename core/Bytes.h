#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace sarnovelle {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

} // namespace sarnovelle
