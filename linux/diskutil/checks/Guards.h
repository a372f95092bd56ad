#pragma once

#include "linux/diskutil/Context.h"

#include <string>

namespace sarnovelle::standin {

// The checks every changing verb passes before anything is touched,
// whichever way the change is then made. Each throws MakerError with one
// line naming the device when the target may not be changed.

// For partitionDisk and eject: the kernel name of the whole disk that
// `argument` ("sdb", "/dev/sdb") names, when the application would offer
// it (see whyNotOffered), it does not hold the running system and nothing
// is built on it (see whatUsesDisk).
std::string offeredWholeDisk(const Context& context, const std::string& argument, const std::string& verb);

// For mount and unmount: the kernel name of the partition that `argument`
// ("sdbs1", "sdb1") names, when it lies on such a disk.
std::string partitionOfOfferedDisk(const Context& context, const std::string& argument, const std::string& verb);

// The check made again once the disk's volumes are unmounted and before
// the first change to its contents: whether something is built on the
// whole disk `disk` by now (see whatUsesDisk).
void refuseDiskInUse(const Context& context, const std::string& disk, const std::string& verb);

} // namespace sarnovelle::standin
