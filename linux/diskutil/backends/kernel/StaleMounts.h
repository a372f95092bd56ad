#pragma once

#include "linux/diskutil/devices/BlockTree.h"
#include "linux/diskutil/devices/Mounts.h"

#include <filesystem>
#include <vector>

namespace sarnovelle::standin {

// The mounts directly inside `folder` (a user's <media>/<user>) whose disk
// is gone: a stick pulled while mounted leaves its file system mounted,
// the folder name taken, and no device to unmount by. Only file systems of
// block devices count (a /dev source and a real device number, which FUSE
// and network mounts lack) whose number the kernel no longer lists, and
// only when the mount is the topmost at its place. In the table's order.
// Nothing is stale when the kernel lists no block device at all (no sysfs).
std::vector<MountEntry> staleMounts(const BlockTree& tree, const std::vector<MountEntry>& table,
                                    const std::filesystem::path& folder);

// Detaches the stale mounts inside `folder` (lazily: nothing can reach
// their disk any more) and removes their folders when empty, so that the
// next volume with the same label gets the same folder. Mounts elsewhere
// are never touched; a mount that cannot be detached is left as it is.
void clearStaleMounts(const BlockTree& tree, const std::vector<MountEntry>& table,
                      const std::filesystem::path& folder);

} // namespace sarnovelle::standin
