#include "cli/Output.h"

#include "core/Bytes.h"
#include "core/Text.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace sarnovelle::cli {

namespace {

// `text` as valid UTF-8 with every C0 control character (but the line feed
// when `keepLineFeeds`), DEL and every C1 control character (U+0080 to
// U+009F, CSI and OSC among them) shown as '?'.
std::string withoutControls(std::string_view text, bool keepLineFeeds)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::string valid = decodeUtf8Lossy(ByteView(bytes, text.size()));
    std::string out;
    out.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto c = static_cast<unsigned char>(valid[i]);
        if (c == '\n' && keepLineFeeds) {
            out += '\n';
        } else if (c < 0x20 || c == 0x7f) {
            out += '?';
        } else if (c == 0xc2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) <= 0x9f) {
            // Valid UTF-8: C2 is a lead byte, and C2 80..C2 9F are the C1
            // code points.
            out += '?';
            ++i;
        } else {
            out += valid[i];
        }
    }
    return out;
}

void writeLine(std::FILE* stream, std::string_view line)
{
    // A failed write (a closed pipe, a terminal that hung up) sets the
    // stream's error flag and is otherwise ignored: the runs go on.
    const std::string shown = withoutControls(line, true);
    std::fwrite(shown.data(), 1, shown.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

void Output::out(std::string_view line)
{
    const std::lock_guard lock(mutex_);
    writeLine(stdout, line);
}

void Output::err(std::string_view line)
{
    const std::lock_guard lock(mutex_);
    // What went to standard output so far stands before it.
    std::fflush(stdout);
    writeLine(stderr, line);
}

std::string timeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 16> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%H:%M:%S", &local);
    return std::string(text.data(), length);
}

std::string printable(std::string_view text)
{
    return withoutControls(text, false);
}

} // namespace sarnovelle::cli
