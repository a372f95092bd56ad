#include "LoopDevice.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace sarnovelle::test {

std::optional<LoopDevice> LoopDevice::attach(const std::filesystem::path& backingFile, std::string& whyNot)
{
    if (::geteuid() != 0) {
        whyNot = "loop devices need root";
        return std::nullopt;
    }
    const UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control) {
        whyNot = std::string("no /dev/loop-control: ") + std::strerror(errno);
        return std::nullopt;
    }
    const UniqueFd file(::open(backingFile.c_str(), O_RDWR | O_CLOEXEC));
    if (!file) {
        whyNot = std::string("cannot open the backing file: ") + std::strerror(errno);
        return std::nullopt;
    }
    // Another test may take the same free device at the same moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) {
            whyNot = std::string("no free loop device: ") + std::strerror(errno);
            return std::nullopt;
        }
        const std::string name = "loop" + std::to_string(number);
        UniqueFd device(::open(("/dev/" + name).c_str(), O_RDWR | O_CLOEXEC));
        if (!device) {
            // devtmpfs makes the node a moment after the device exists.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        loop_config config{};
        config.fd = static_cast<__u32>(file.get());
        // Detached by the kernel when the last user closes it, whatever
        // happens to this process.
        config.info.lo_flags = LO_FLAGS_PARTSCAN | LO_FLAGS_AUTOCLEAR;
        if (::ioctl(device.get(), LOOP_CONFIGURE, &config) == 0) {
            LoopDevice loop;
            loop.name_ = name;
            loop.fd_ = std::move(device);
            return loop;
        }
        if (errno != EBUSY) {
            whyNot = std::string("cannot attach a loop device: ") + std::strerror(errno);
            return std::nullopt;
        }
    }
    whyNot = "every free loop device was taken";
    return std::nullopt;
}

bool LoopDevice::attached() const
{
    return !name_.empty() && std::filesystem::exists("/sys/class/block/" + name_ + "/loop/backing_file");
}

LoopDevice::~LoopDevice()
{
    // Only through its own descriptor: the number may already belong to
    // another device. Autoclear finishes the detach when the descriptor
    // closes.
    if (fd_) {
        ::ioctl(fd_.get(), LOOP_CLR_FD, 0);
    }
}

} // namespace sarnovelle::test
