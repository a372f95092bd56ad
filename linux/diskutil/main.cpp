// The disk utility on Linux: answers the application's disk invocations on
// the kernel's block devices; changes go through udisks2 or, as root, to
// the kernel directly.

#include "linux/diskutil/Command.h"

#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The desktop user behind this run: the one sudo ran it for, or the caller
// itself. The kernel backend mounts volumes for them.
sarnovelle::standin::Owner invokingOwner()
{
    uid_t uid = ::getuid();
    if (const char* value = std::getenv("SUDO_UID"); value != nullptr && ::getuid() == 0) {
        unsigned parsed = 0;
        const std::string_view text(value);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (error == std::errc() && end == text.data() + text.size()) {
            uid = parsed;
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

// The udisks2 module, found from the program's own folder as installed.
std::filesystem::path udisksModule()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {}; // the changes then go without udisks2, saying why
    }
    return (program.parent_path() / SARNOVELLE_REL_UDISKS_MODULE).lexically_normal();
}

} // namespace

int main(int argc, char** argv)
{
    sarnovelle::standin::Context context;
    context.privileged = ::geteuid() == 0;
    context.owner = invokingOwner();
    context.udisksModule = udisksModule();
    context.out = &std::cout;
    context.err = &std::cerr;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = sarnovelle::standin::runCommand(context, arguments);
    std::cout.flush();
    return status;
}
