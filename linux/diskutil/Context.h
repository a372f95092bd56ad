#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

namespace sarnovelle::standin {

// Where the program finds the kernel's views of the machine and where it
// makes its mount folders. The shipped program always uses these defaults.
struct Roots {
    std::filesystem::path sysfs = "/sys";
    std::filesystem::path proc = "/proc";
    std::filesystem::path dev = "/dev";
    std::filesystem::path media = "/media";
    // udev's records of the devices (b<major>:<minor>), readable by anyone.
    std::filesystem::path udevData = "/run/udev/data";
};

// The desktop user on whose behalf volumes are mounted: the folder
// <media>/<name>/<label> is made for them and the files belong to them.
struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name = "root";
};

struct Context {
    Roots roots;
    // Whether the program may change disks through the kernel (runs as root).
    bool privileged = false;
    // The D-Bus address of the system bus on which udisks2 is asked to make
    // the changes; empty for the machine's own system bus.
    std::string systemBus;
    // The module that holds the udisks2 backend (udisks-backend.so in the
    // project's library folder).
    std::filesystem::path udisksModule;
    Owner owner;
    // Accesses an automount point (autofs) so that the kernel mounts what
    // the automounter keeps there. Empty: the folder itself is opened, as
    // the shipped program does; the tests stand in for the kernel here.
    std::function<void(const std::string& mountPoint)> wakeAutomount;
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;

    // One line of progress on standard output, flushed at once so that it
    // stays in order with the helper programs' lines.
    void say(const std::string& line) const { *out << line << std::endl; }
    void complain(const std::string& line) const { *err << line << std::endl; }
};

} // namespace sarnovelle::standin
