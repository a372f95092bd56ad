// The disk utility on Linux: answers the application's disk invocations on
// the kernel's block devices.

#include "linux/diskutil/Command.h"
#include "linux/diskutil/Helpers.h"

#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The desktop user behind this run: the one pkexec or sudo ran it for, or
// the caller itself. Volumes are mounted for them.
sarnovelle::standin::Owner invokingOwner()
{
    uid_t uid = ::getuid();
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || ::getuid() != 0) {
            continue;
        }
        unsigned parsed = 0;
        const std::string_view text(value);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (error == std::errc() && end == text.data() + text.size()) {
            uid = parsed;
            break;
        }
    }
    sarnovelle::standin::Owner owner;
    owner.uid = uid;
    owner.gid = ::getgid();
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        owner.name = found->pw_name;
        owner.gid = found->pw_gid;
    } else {
        // A minimal system without a user database still calls uid 0 root.
        owner.name = uid == 0 ? "root" : std::to_string(uid);
    }
    return owner;
}

} // namespace

int main(int argc, char** argv)
{
    sarnovelle::standin::Context context;
    context.privileged = ::geteuid() == 0;
    context.owner = invokingOwner();
    // A desktop user gets the system's password dialog for a change; a run
    // started by pkexec does not ask again.
    if (!context.privileged && std::getenv("PKEXEC_UID") == nullptr) {
        char self[4096];
        const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
        const auto pkexec = sarnovelle::standin::findHelper("pkexec");
        if (length > 0 && pkexec) {
            context.self.assign(self, static_cast<std::size_t>(length));
            context.elevator = *pkexec;
        }
    }
    context.out = &std::cout;
    context.err = &std::cerr;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = sarnovelle::standin::runCommand(context, arguments);
    std::cout.flush();
    return status;
}
