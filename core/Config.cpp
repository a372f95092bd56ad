#include "core/Config.h"

#include <filesystem>
#include <system_error>

namespace sarnovelle {

// 13 lines, each at most 71 characters, each ended by a line feed.
const std::string_view Config::notice =
    "SARNOVELLE\n"
    "Copyright 2026 Tessamir. All rights reserved.\n"
    "https://www.tessamir.example/sarnovelle\n"
    "\n"
    "This application and the boot image it carries are licensed, not sold,\n"
    "for preparing boot sticks for Tessamir device PCs. You may use them on\n"
    "any number of computers you own; you may not modify, sell or\n"
    "redistribute them without Tessamir's written permission.\n"
    "\n"
    "The software is provided \"as is\", without warranty of any kind.\n"
    "Tessamir is not liable for data lost on any disk it erases: check the\n"
    "selected disk before you confirm, and keep copies of what you need.\n"
    "Third-party components are used under their own licences.\n";

#ifdef __APPLE__

const std::string& Config::diskutil()
{
    static const std::string path = "/usr/sbin/diskutil";
    return path;
}

#else

namespace {

std::string standInPath()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        // Without our own path, the place the install puts the stand-in.
        return SARNOVELLE_INSTALLED_DISKUTIL;
    }
    return (self.parent_path() / SARNOVELLE_REL_DISKUTIL).lexically_normal().string();
}

} // namespace

const std::string& Config::diskutil()
{
    static const std::string path = standInPath();
    return path;
}

#endif

} // namespace sarnovelle
