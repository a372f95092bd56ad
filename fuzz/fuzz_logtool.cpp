// Feeds arbitrary tool output to the UTF-8 decoding, line splitting and
// trimming that put a tool's lines into the log, and checks the promises
// every log line keeps.
#include "core/Text.h"
#include "core/ToolRunner.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool validUtf8(const std::string& text)
{
    // A decoded text decodes to itself.
    return sarnovelle::decodeUtf8Lossy(sarnovelle::toBytes(text)) == text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    sarnovelle::ToolResult result;
    result.status = 0;
    result.output.assign(data, data + size);
    const std::string text = result.text();
    if (!validUtf8(text)) {
        __builtin_trap();
    }
    const std::string prefix = "  diskutil: ";
    sarnovelle::logTool(result, [&](const std::string& line) {
        if (line.size() <= prefix.size() || line.compare(0, prefix.size(), prefix) != 0) {
            __builtin_trap();
        }
        const std::string body = line.substr(prefix.size());
        if (!validUtf8(body) || body.find('\n') != std::string::npos || body.find('\r') != std::string::npos
            || body.front() == ' ' || body.back() == ' ' || body.front() == '\t' || body.back() == '\t') {
            __builtin_trap();
        }
    });
    return 0;
}
