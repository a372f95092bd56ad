#include "cli/Confirm.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sstream>
#include <string>

namespace sarnovelle::cli {

namespace {

// One line from `fd`, without its line feed; absent at end of input before
// any character or on a read error.
std::optional<std::string> readLine(int fd)
{
    std::string line;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got < 0 || line.empty()) {
                return std::nullopt;
            }
            return line;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

} // namespace

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

bool confirmByTyping(const std::vector<UsbDisk>& disks, int input, Output& output)
{
    std::vector<std::string> wanted;
    output.err(disks.size() == 1 ? "ALL data on this USB disk will be erased:"
                                 : "ALL data on these USB disks will be erased:");
    output.err("");
    for (const UsbDisk& disk : disks) {
        output.err("  " + printable(disk.label()));
        wanted.push_back(disk.id);
    }
    output.err("");
    std::string ids;
    for (const std::string& id : wanted) {
        ids += (ids.empty() ? "" : " ") + printable(id);
    }
    output.err("To continue, type " + std::string(disks.size() == 1 ? "the disk's id" : "the disks' ids")
               + " (" + ids + ") and press Return:");

    const auto answer = readLine(input);
    if (!answer) {
        return false;
    }
    std::vector<std::string> typed;
    std::istringstream words(*answer);
    for (std::string word; words >> word;) {
        typed.push_back(word);
    }
    std::sort(typed.begin(), typed.end());
    std::sort(wanted.begin(), wanted.end());
    return typed == wanted;
}

} // namespace sarnovelle::cli
