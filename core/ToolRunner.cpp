#include "core/ToolRunner.h"

#include "core/Text.h"
#include "core/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

extern char** environ;

namespace sarnovelle {

namespace {

// posix_spawn file actions, destroyed on every path.
class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions()
    {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

ToolResult launchFailure(const std::string& path, int error)
{
    ToolResult result;
    result.status = -1;
    result.output = toBytes("The program " + path + " could not be started: " + std::strerror(error));
    return result;
}

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
    int fds[2];
    // Close-on-exec from the start, so that a child started by another
    // thread at the same moment never inherits either end.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

int waitForChild(pid_t pid)
{
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return WTERMSIG(raw);
    }
    return -1;
}

} // namespace

std::string ToolResult::text() const { return decodeUtf8Lossy(output); }

ToolResult runTool(const std::string& path, const std::vector<std::string>& arguments)
{
    UniqueFd readEnd;
    UniqueFd writeEnd;
    if (!makePipe(readEnd, writeEnd)) {
        return launchFailure(path, errno);
    }

    SpawnActions actions;
    if (!actions.ok()
        || posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO) != 0
        || posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO) != 0) {
        return launchFailure(path, ENOMEM);
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    // glibc's posix_spawn reports a failed exec (missing file, no execute
    // permission) as its own result, so no half-started child is left.
    const int spawnError = ::posix_spawn(&pid, path.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (spawnError != 0) {
        return launchFailure(path, spawnError);
    }
    // Only the child holds the writing end now: end of file arrives when it,
    // and whatever inherited its output, has closed it.
    writeEnd.reset();

    ToolResult result;
    std::array<std::uint8_t, 65536> buffer{};
    for (;;) {
        const ssize_t count = ::read(readEnd.get(), buffer.data(), buffer.size());
        if (count > 0) {
            result.output.insert(result.output.end(), buffer.begin(), buffer.begin() + count);
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    readEnd.reset();
    result.status = waitForChild(pid);
    return result;
}

void logTool(const ToolResult& result, const LogSink& log)
{
    const std::string text = result.text();
    for (const std::string_view piece : splitLines(text)) {
        const std::string_view line = trimWhitespace(piece);
        if (!line.empty()) {
            log("  diskutil: " + std::string(line));
        }
    }
}

} // namespace sarnovelle
