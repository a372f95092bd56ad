#include "cli/Json.h"

#include "core/Bytes.h"
#include "core/Text.h"

#include <array>
#include <cstdio>

namespace sarnovelle::cli {

std::string jsonString(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::string valid = decodeUtf8Lossy(ByteView(bytes, text.size()));
    std::string out = "\"";
    for (const char c : valid) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                std::array<char, 8> escaped{};
                const auto code = static_cast<unsigned>(static_cast<unsigned char>(c));
                std::snprintf(escaped.data(), escaped.size(), "\\u%04x", code);
                out += escaped.data();
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string disksJson(const std::vector<UsbDisk>& disks)
{
    if (disks.empty()) {
        return "[]\n";
    }
    std::string out = "[\n";
    for (std::size_t i = 0; i < disks.size(); ++i) {
        const UsbDisk& disk = disks[i];
        out += "  {\"id\": " + jsonString(disk.id) + ", \"name\": " + jsonString(disk.name)
               + ", \"size\": " + std::to_string(disk.size) + ", \"serial\": " + jsonString(disk.serial) + "}";
        out += i + 1 < disks.size() ? ",\n" : "\n";
    }
    out += "]\n";
    return out;
}

} // namespace sarnovelle::cli
