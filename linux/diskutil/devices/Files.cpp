#include "linux/diskutil/devices/Files.h"

#include "core/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sarnovelle::standin {

std::optional<std::string> readSmallFile(const std::filesystem::path& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return std::nullopt;
    }
    // Kernel lists such as mountinfo can be long on busy machines; a cap
    // keeps a runaway file from eating memory.
    constexpr std::size_t limit = 4 << 20;
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
            if (text.size() > limit) {
                return std::nullopt;
            }
        } else if (count == 0) {
            return text;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> readAttribute(const std::filesystem::path& path)
{
    auto text = readSmallFile(path);
    if (!text) {
        return std::nullopt;
    }
    const auto end = text->find('\n');
    std::string line = text->substr(0, end);
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    const auto last = line.find_last_not_of(" \t\r");
    return line.substr(first, last - first + 1);
}

int writeAttribute(const std::filesystem::path& path, const std::string& value)
{
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) {
        return errno;
    }
    ssize_t written = -1;
    do {
        written = ::write(fd.get(), value.data(), value.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        return errno;
    }
    return static_cast<std::size_t>(written) == value.size() ? 0 : EIO;
}

std::string foldBlanks(const std::string& text)
{
    std::string folded;
    bool pendingBlank = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            pendingBlank = !folded.empty();
        } else {
            if (pendingBlank) {
                folded.push_back(' ');
                pendingBlank = false;
            }
            folded.push_back(c);
        }
    }
    return folded;
}

std::string errorText(int error) { return std::strerror(error); }

} // namespace sarnovelle::standin
