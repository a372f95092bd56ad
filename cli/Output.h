#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace sarnovelle::cli {

// Whole lines to standard output and standard error from any thread: a
// line is written and flushed in one piece, never split by another's.
// Nothing written here can steer the terminal: every control character but
// the line feed (C0, DEL and C1) is written as '?', and bytes that are not
// UTF-8 as U+FFFD. Text from outside goes through printable() first, so
// that it stays on its one line.
class Output {
public:
    void out(std::string_view line);
    void err(std::string_view line);

private:
    std::mutex mutex_;
};

// The local time as "HH:mm:ss", the stamp of every line of the window's log.
std::string timeStamp();

// `text` as valid UTF-8 (U+FFFD for broken bytes) with every C0 control
// character, line feed and tab included, DEL and every C1 control character
// (U+0080 to U+009F) shown as '?': for names, reasons and messages that
// come from a stick or a tool and go to a terminal.
std::string printable(std::string_view text);

} // namespace sarnovelle::cli
