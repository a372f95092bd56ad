#include "core/Text.h"

#include <algorithm>
#include <cstdint>

namespace sarnovelle {

namespace {

constexpr char32_t replacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one scalar from valid UTF-8 at `text[pos]`, advancing `pos`.
char32_t nextScalar(std::string_view text, std::size_t& pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    char32_t c = lead & (0x3F >> extra);
    for (int i = 1; i <= extra && pos + i < text.size(); ++i) {
        c = (c << 6) | (byte(pos + i) & 0x3F);
    }
    // Clamped so that ill-formed input can never move past the end.
    pos = std::min(pos + extra + 1, text.size());
    return c;
}

bool isLineBreak(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespace(char32_t c)
{
    // General category Zs, and CHARACTER TABULATION.
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A)
        || c == 0x202F || c == 0x205F || c == 0x3000;
}

} // namespace

std::string decodeUtf8Lossy(ByteView bytes)
{
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Length and the allowed range of the second byte (Unicode table
        // 3-7); anything else is ill-formed.
        int length = 0;
        std::uint8_t low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            appendUtf8(out, replacement);
            ++i;
            continue;
        }
        // Consume the longest well-formed prefix; a broken sequence is
        // replaced by one U+FFFD for that maximal subpart.
        char32_t c = lead & (0x7F >> length);
        int taken = 1;
        bool complete = true;
        for (; taken < length; ++taken) {
            if (i + taken >= n) {
                complete = false;
                break;
            }
            const std::uint8_t next = bytes[i + taken];
            const std::uint8_t lo = taken == 1 ? low : 0x80;
            const std::uint8_t hi = taken == 1 ? high : 0xBF;
            if (next < lo || next > hi) {
                complete = false;
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        appendUtf8(out, complete ? c : replacement);
        i += taken;
    }
    return out;
}

std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t here = pos;
        const char32_t c = nextScalar(text, pos);
        if (!isLineBreak(c)) {
            continue;
        }
        if (here > start) {
            pieces.push_back(text.substr(start, here - start));
        }
        if (c == 0x0D && pos < text.size() && text[pos] == '\n') {
            ++pos;
        }
        start = pos;
    }
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

std::string_view trimWhitespace(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        if (!isWhitespace(nextScalar(text, next))) {
            break;
        }
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t lead = end - 1;
        while (lead > begin && (static_cast<std::uint8_t>(text[lead]) & 0xC0) == 0x80) {
            --lead;
        }
        std::size_t next = lead;
        if (!isWhitespace(nextScalar(text, next))) {
            break;
        }
        end = lead;
    }
    return text.substr(begin, end - begin);
}

} // namespace sarnovelle
