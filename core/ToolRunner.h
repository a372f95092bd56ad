#pragma once

#include "core/Bytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sarnovelle {

// A function taking one line of text; a run calls it synchronously on its
// own thread, one call per line, in order.
using LogSink = std::function<void(const std::string& line)>;

// Outcome of one child process.
struct ToolResult {
    // Exit status, the signal number for a child ended by a signal, or -1
    // when the child could not be started.
    std::int32_t status = -1;
    // Everything the child wrote to stdout and stderr, interleaved in write
    // order; the launch error's description when it could not be started.
    Bytes output;

    // `output` decoded as UTF-8, ill-formed sequences replaced by U+FFFD.
    std::string text() const;
};

// Runs the executable at `path` with `arguments` (no shell, passed
// verbatim), reads its output to end of file, then waits for it. Never
// fails; safe to call from several threads at once.
ToolResult runTool(const std::string& path, const std::vector<std::string>& arguments);

// Passes each non-blank output line of `result`, trimmed, to `log` as
// "  diskutil: " + line.
void logTool(const ToolResult& result, const LogSink& log);

} // namespace sarnovelle
