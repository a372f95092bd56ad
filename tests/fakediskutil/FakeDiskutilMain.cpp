// A stand-in for the disk utility that replays a scenario folder; see
// FakeDiskutil.h for the folder's format. It is started through the
// symlink "diskutil" inside the scenario folder and finds the folder from
// its own argv[0].

#include "FakeStick.h"
#include "ScenarioFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace sarnovelle::fake;

namespace {

void appendToLog(const fs::path& scenario, const std::vector<std::string>& arguments)
{
    const std::string line = logLine(arguments) + "\n";
    const int fd = ::open((scenario / "invocations.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

// Rules in numeric order of their folder names; the first whose argument
// list equals the invocation's answers it.
std::optional<fs::path> findRule(const fs::path& scenario, const std::vector<std::string>& arguments)
{
    std::vector<std::pair<long, fs::path>> rules;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(scenario / "rules", error)) {
        rules.emplace_back(std::stol(entry.path().filename().string()), entry.path());
    }
    std::sort(rules.begin(), rules.end());
    for (const auto& [number, rule] : rules) {
        if (unpackArguments(readWhole(rule / "args").value_or("")) == arguments) {
            return rule;
        }
    }
    return std::nullopt;
}

// The rule's answers in turn; the last one repeats.
Reply answerFromRule(const fs::path& scenario, const fs::path& rule)
{
    const int calls = std::stoi(readWhole(rule / "calls").value_or("0"));
    writeWhole(rule / "calls", std::to_string(calls + 1));
    int count = 0;
    while (fs::exists(rule / "answers" / std::to_string(count))) {
        ++count;
    }
    if (count == 0) {
        return Reply{"fake diskutil: rule without answers\n", 1};
    }
    const fs::path answer = rule / "answers" / std::to_string(std::min(calls, count - 1));
    Reply reply{readWhole(answer / "output").value_or(""), std::stoi(readWhole(answer / "status").value_or("0"))};
    if (fs::exists(answer / "break")) {
        // From now on the disk utility cannot be started at all.
        fs::remove(scenario / "diskutil");
    }
    return reply;
}

Reply reply(const fs::path& scenario, const std::vector<std::string>& arguments)
{
    if (const auto rule = findRule(scenario, arguments)) {
        return answerFromRule(scenario, *rule);
    }
    if (auto simulated = simulateStick(scenario, arguments)) {
        return *simulated;
    }
    return Reply{"fake diskutil: no answer for: " + logLine(arguments) + "\n", 1};
}

} // namespace

int main(int argc, char** argv)
{
    const std::string self = argc > 0 ? argv[0] : "";
    if (self.find('/') == std::string::npos) {
        std::fprintf(stderr, "fake diskutil: run me through the scenario's diskutil link\n");
        return 2;
    }
    const fs::path scenario = fs::path(self).parent_path();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        appendToLog(scenario, arguments);
        const Reply answer = reply(scenario, arguments);
        std::fwrite(answer.output.data(), 1, answer.output.size(), stdout);
        std::fflush(stdout);
        return answer.status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fake diskutil: %s\n", error.what());
        return 3;
    }
}
