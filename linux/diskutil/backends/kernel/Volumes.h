#pragma once

#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/Backend.h"
#include "linux/diskutil/Context.h"
#include "linux/diskutil/checks/DiskPin.h"

#include <string>

namespace sarnovelle::standin {

// Throws PrivilegesNeeded when the program runs without the rights to
// change disks. Called after the arguments have been checked.
void requirePrivileges(const Context& context, const std::string& command);

// Throws MakerError when the whole disk holds the running system.
void refuseSystemDisk(const Context& context, const BlockTree& tree, const std::string& disk);

// Unmounts every mount of the device and, for a whole disk, of its
// partitions; removes the mount folders this program makes. Throws
// MakerError when one cannot be unmounted, or when `pin`'s disk was
// replaced before one of them.
void unmountEverything(const Context& context, const BlockTree& tree, const std::string& name, const DiskPin& pin);

// Mounts a FAT (or exFAT) partition for the desktop user at
// <media>/<user>/<label>, as the desktop's automounter would, and returns
// the mount point; a partition mounted already keeps its mount point.
// Read-only (MS_RDONLY) when asked: nothing is written, not even the
// file system's dirty flag, and a write-protected stick mounts too. The
// pin is checked right before the mount.
std::string mountVolume(const Context& context, const BlockTree& tree, const std::string& name, MountAccess access,
                        const DiskPin& pin);

int mountCommand(const Context& context, const std::string& argument, MountAccess access);
int unmountCommand(const Context& context, const std::string& argument);
int ejectCommand(const Context& context, const std::string& argument);

} // namespace sarnovelle::standin
