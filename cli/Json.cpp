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
    const auto escape = [&out](unsigned code) {
        std::array<char, 8> escaped{};
        std::snprintf(escaped.data(), escaped.size(), "\\u%04x", code);
        out += escaped.data();
    };
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const char c = valid[i];
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
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f) {
                escape(byte);
            } else if (byte == 0xc2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) <= 0x9f) {
                // A C1 control character (U+0080 to U+009F): legal in JSON,
                // but a terminal showing the output would obey it.
                escape(static_cast<unsigned char>(valid[i + 1]));
                ++i;
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
