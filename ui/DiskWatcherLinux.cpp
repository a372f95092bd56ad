// Whole disks coming and going, as udev announces them once its rules have
// run (so the disk is ready to be listed).
#include "ui/DiskWatcher.h"

#include <QSocketNotifier>

#include <libudev.h>

#include <cerrno>

namespace sarnovelle {

namespace {

struct UdevUnref {
    void operator()(udev* context) const { udev_unref(context); }
};
struct MonitorUnref {
    void operator()(udev_monitor* monitor) const { udev_monitor_unref(monitor); }
};
struct DeviceUnref {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};

// How many events one wake-up reads at most; the rest wake it again.
constexpr int eventsPerWakeUp = 256;

class UdevDiskWatcher final : public DiskWatcher {
public:
    bool start() override;

private:
    void readEvents();

    std::unique_ptr<udev, UdevUnref> udev_;
    std::unique_ptr<udev_monitor, MonitorUnref> monitor_;
    // Declared last: stops watching the monitor's socket before it closes.
    std::unique_ptr<QSocketNotifier> notifier_;
};

bool UdevDiskWatcher::start()
{
    udev_.reset(udev_new());
    if (!udev_) {
        return false;
    }
    // Where no udev daemon runs (a container), libudev hands out a monitor
    // that stays silent: Refresh still works.
    monitor_.reset(udev_monitor_new_from_netlink(udev_.get(), "udev"));
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "block", "disk") < 0
        || udev_monitor_enable_receiving(monitor_.get()) < 0) {
        monitor_.reset();
        return false;
    }
    const int fd = udev_monitor_get_fd(monitor_.get());
    if (fd < 0) {
        monitor_.reset();
        return false;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    return true;
}

void UdevDiskWatcher::readEvents()
{
    // The socket does not block: reading stops when it is empty. Every
    // event read is one the filter let through.
    bool seen = false;
    int error = 0;
    for (int i = 0; i < eventsPerWakeUp; ++i) {
        errno = 0;
        const std::unique_ptr<udev_device, DeviceUnref> device(udev_monitor_receive_device(monitor_.get()));
        if (!device) {
            error = errno;
            break;
        }
        seen = true;
    }
    // Anything but an empty socket (ENOBUFS: the kernel dropped events
    // for want of room) may have hidden a change.
    if (seen || (error != 0 && error != EAGAIN && error != EWOULDBLOCK)) {
        Q_EMIT disksMayHaveChanged();
    }
}

} // namespace

std::unique_ptr<DiskWatcher> makeDiskWatcher()
{
    return std::make_unique<UdevDiskWatcher>();
}

} // namespace sarnovelle
