#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace sarnovelle::cli {

// Whole lines to standard output and standard error from any thread: a
// line is written and flushed in one piece, never split by another's.
class Output {
public:
    void out(std::string_view line);
    void err(std::string_view line);

private:
    std::mutex mutex_;
};

// The local time as "HH:mm:ss", the stamp of every line of the window's log.
std::string timeStamp();

// `text` with control characters shown as '?', for names that come from
// outside and go to a terminal.
std::string printable(std::string_view text);

} // namespace sarnovelle::cli
