#include "cli/Output.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace sarnovelle::cli {

namespace {

void writeLine(std::FILE* stream, std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stream);
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
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return out;
}

} // namespace sarnovelle::cli
