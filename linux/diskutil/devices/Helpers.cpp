#include "linux/diskutil/devices/Helpers.h"

#include <sys/stat.h>
#include <unistd.h>

namespace sarnovelle::standin {

std::optional<std::string> findHelper(const std::string& program)
{
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        const std::string path = folder + program;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

} // namespace sarnovelle::standin
