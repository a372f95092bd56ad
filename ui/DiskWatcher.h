#pragma once

#include <QObject>

#include <memory>

namespace sarnovelle {

// Tells the window that the set of disks may have changed: a disk was
// attached, detached or changed its medium. It says nothing about which
// disk, and may speak for disks the window never offers; the window lists
// the disks again to find out. Lives on the main thread.
class DiskWatcher : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Begins watching. False when the platform's source of device events
    // cannot be reached; the watcher then never reports anything.
    virtual bool start() = 0;

Q_SIGNALS:
    void disksMayHaveChanged();
};

// The platform's watcher (udev on Linux); none where the platform has none
// yet, and the window then lists the disks on Refresh only.
std::unique_ptr<DiskWatcher> makeDiskWatcher();

} // namespace sarnovelle
