#include "linux/diskutil/backends/kernel/Volumes.h"

#include "core/MakerError.h"
#include "core/UniqueFd.h"
#include "linux/diskutil/devices/Files.h"
#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/devices/Mounts.h"
#include "linux/diskutil/devices/Probe.h"
#include "linux/diskutil/backends/kernel/StaleMounts.h"
#include "linux/diskutil/checks/InUse.h"
#include "linux/diskutil/checks/RunningSystem.h"
#include "linux/diskutil/devices/Transport.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace fs = std::filesystem;

namespace sarnovelle::standin {

namespace {

// A folder this program may have made: <media>/<user>/<name>.
bool isOwnMountFolder(const Context& context, const std::string& mountPoint)
{
    const fs::path folder = fs::path(mountPoint).lexically_normal();
    return folder.parent_path().parent_path() == context.roots.media.lexically_normal();
}

void unmountAt(const Context& context, const BlockTree& tree, const std::string& name, const std::string& mountPoint)
{
    if (::umount2(mountPoint.c_str(), UMOUNT_NOFOLLOW) != 0 && errno != EINVAL && errno != ENOENT) {
        const int error = errno;
        if (const std::string loop = error == EBUSY ? loopOnFilesUnder(tree, mountPoint) : ""; !loop.empty()) {
            throw MakerError("Could not unmount " + name + " at " + mountPoint + ": the loop device " + loop
                             + " still uses a file there; nothing was changed.");
        }
        throw MakerError("Could not unmount " + name + " at " + mountPoint + ": " + errorText(error));
    }
    if (isOwnMountFolder(context, mountPoint)) {
        ::rmdir(mountPoint.c_str()); // only when empty; a leftover folder is harmless
    }
}

// A folder name from a volume label: no "/" and no control characters.
std::string folderName(const std::string& label, const std::string& fallback)
{
    std::string name;
    for (const char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        name.push_back(c == '/' || byte < 0x20 || byte == 0x7F ? '_' : c);
    }
    return name.empty() || name == "." || name == ".." ? fallback : name;
}

// Makes a folder unless it exists; insists that what is there is a real
// folder and not a link to somewhere else.
void ensureFolder(const fs::path& folder, mode_t mode)
{
    if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) {
        const int error = errno;
        throw MakerError("Could not create " + folder.string() + ": " + errorText(error));
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw MakerError("Could not use " + folder.string() + ": it is not a folder.");
    }
}

// Opens the device node and checks that it is the device sysfs names. With
// O_EXCL a block device in use (mounted, held by another) is refused.
UniqueFd openDevice(const BlockTree& tree, const std::string& name, int flags)
{
    const fs::path node = tree.node(name);
    UniqueFd fd(::open(node.c_str(), flags | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == EBUSY && (flags & O_EXCL) != 0) {
            throw MakerError(name + " is still in use; it is left alone.");
        }
        throw MakerError("Could not open " + node.string() + ": " + errorText(error));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        const int error = errno;
        throw MakerError("Could not examine " + node.string() + ": " + errorText(error));
    }
    if (S_ISBLK(info.st_mode) && !tree.isNodeOf(name, info)) {
        throw MakerError(node.string() + " is not the device the kernel calls " + name + ".");
    }
    return fd;
}

// Takes the disk out of the system so that it can be pulled: a loop
// device is detached, a SCSI disk (USB mass storage, UAS) deleted, any
// other USB device removed from its port.
void removeFromSystem(const BlockTree& tree, const std::string& disk, int fd)
{
    if (tree.attribute(disk, "loop/backing_file")) {
        if (::ioctl(fd, LOOP_CLR_FD, 0) != 0) {
            const int error = errno;
            throw MakerError("Could not detach " + disk + ": " + errorText(error));
        }
        return;
    }
    const auto folder = tree.deviceFolder(disk);
    std::error_code error;
    if (folder && fs::exists(*folder / "device/delete", error)) {
        if (const int failure = writeAttribute(*folder / "device/delete", "1")) {
            throw MakerError("Could not remove " + disk + " from the system: " + errorText(failure));
        }
        return;
    }
    if (const auto usb = removableUsbDevice(tree, disk)) {
        if (const int failure = writeAttribute(*usb / "remove", "1")) {
            throw MakerError("Could not remove " + disk + " from the system: " + errorText(failure));
        }
        return;
    }
    throw MakerError("The volumes of " + disk + " are unmounted and its data is flushed, but it cannot be "
                     "removed from the system here.");
}

} // namespace

void requirePrivileges(const Context& context, const std::string& command)
{
    if (!context.privileged) {
        throw PrivilegesNeeded{command};
    }
}

void refuseSystemDisk(const Context& context, const BlockTree& tree, const std::string& disk)
{
    if (readRunningSystem(context, tree).stores.wholeDisks.contains(disk)) {
        throw MakerError(disk + " holds the running system; it is left alone.");
    }
}

void unmountEverything(const Context& context, const BlockTree& tree, const std::string& name, const DiskPin& pin)
{
    std::vector<std::string> devices{name};
    if (!tree.isPartition(name)) {
        const auto partitions = tree.partitionsOf(name);
        devices.insert(devices.end(), partitions.begin(), partitions.end());
    }
    const auto table = readMountInfo(context.roots);
    std::vector<std::pair<std::string, std::string>> mounts; // device, mount point
    for (const auto& device : devices) {
        for (const auto& entry : mountsOf(tree, table, device)) {
            mounts.emplace_back(device, entry.mountPoint);
        }
    }
    // Deepest first, so that a mount inside another goes before it.
    std::stable_sort(mounts.begin(), mounts.end(),
                     [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
    for (const auto& [device, mountPoint] : mounts) {
        pin.check();
        unmountAt(context, tree, device, mountPoint);
    }
}

std::string mountVolume(const Context& context, const BlockTree& tree, const std::string& name, MountAccess access,
                        const DiskPin& pin)
{
    const auto table = readMountInfo(context.roots);
    if (const auto mounts = mountsOf(tree, table, name); !mounts.empty()) {
        return mounts.front().mountPoint;
    }
    const FilesystemProbe probe = probeFilesystem(tree.node(name));
    if (probe.type != "vfat" && probe.type != "exfat") {
        throw MakerError("Could not mount " + name + ": "
                         + (probe.type.empty() ? "no file system found." : "its " + probe.type
                                                                              + " file system is not mounted here."));
    }
    const std::string user = isPlainName(context.owner.name) ? context.owner.name : "root";
    ensureFolder(context.roots.media, 0755);
    const fs::path base = context.roots.media / user;
    ensureFolder(base, 0755);
    // A stick pulled while mounted keeps its folder name taken.
    clearStaleMounts(tree, table, base);

    const std::string label = folderName(probe.label, name);
    fs::path folder;
    for (int attempt = 0; attempt < 100 && folder.empty(); ++attempt) {
        const fs::path candidate = base / (attempt == 0 ? label : label + std::to_string(attempt));
        if (::mkdir(candidate.c_str(), 0700) == 0) {
            folder = candidate;
        } else if (errno != EEXIST) {
            const int error = errno;
            throw MakerError("Could not create " + candidate.string() + ": " + errorText(error));
        }
    }
    if (folder.empty()) {
        throw MakerError("Could not find a free folder for " + name + " in " + base.string() + ".");
    }
    const std::string owner = "uid=" + std::to_string(context.owner.uid) + ",gid=" + std::to_string(context.owner.gid);
    const std::string options = probe.type == "vfat" ? owner + ",shortname=mixed,utf8,showexec,flush" : owner;
    const unsigned long readOnly = access == MountAccess::readOnly ? MS_RDONLY : 0;
    pin.check();
    if (::mount(tree.node(name).c_str(), folder.c_str(), probe.type.c_str(),
                MS_NOSUID | MS_NODEV | MS_RELATIME | readOnly, options.c_str())
        != 0) {
        const int error = errno;
        ::rmdir(folder.c_str());
        throw MakerError("Could not mount " + name + " at " + folder.string() + ": " + errorText(error)
                         + (error == ENODEV ? " (the kernel has no " + probe.type + " support)." : "."));
    }
    return folder.string();
}

int mountCommand(const Context& context, const std::string& argument, MountAccess access)
{
    const BlockTree tree(context.roots);
    const std::string name = resolveDevice(tree, identifierArgument(argument));
    requirePrivileges(context, "mount");
    const DiskPin pin(tree, tree.wholeDiskOf(name), "mount");
    const std::string mountPoint = mountVolume(context, tree, name, access, pin);
    context.say("Volume " + name + " mounted at " + mountPoint);
    return 0;
}

int unmountCommand(const Context& context, const std::string& argument)
{
    const BlockTree tree(context.roots);
    const std::string name = resolveDevice(tree, identifierArgument(argument));
    requirePrivileges(context, "unmount");
    const DiskPin pin(tree, tree.wholeDiskOf(name), "unmount");
    refuseSystemDisk(context, tree, pin.disk());
    unmountEverything(context, tree, name, pin);
    context.say("Volume " + name + " unmounted");
    return 0;
}

int ejectCommand(const Context& context, const std::string& argument)
{
    const BlockTree tree(context.roots);
    const std::string disk = tree.wholeDiskOf(resolveDevice(tree, identifierArgument(argument)));
    requirePrivileges(context, "eject");
    const DiskPin pin(tree, disk, "eject");
    refuseSystemDisk(context, tree, disk);
    // A disk in use through a volume built on it was refused before the
    // verb; the exclusive open below refuses one built meanwhile.
    unmountEverything(context, tree, disk, pin);

    // Exclusively: the kernel refuses while anything still holds the disk
    // (a mount made meanwhile, another program's exclusive hold), and
    // nothing else takes it while it is flushed and removed.
    UniqueFd fd = openDevice(tree, disk, O_RDONLY | O_EXCL);
    pin.check(fd.get());
    struct stat info {};
    ::fstat(fd.get(), &info);
    if (::fsync(fd.get()) != 0 || (S_ISBLK(info.st_mode) && ::ioctl(fd.get(), BLKFLSBUF, 0) != 0)) {
        const int error = errno;
        throw MakerError("Could not flush " + disk + ": " + errorText(error));
    }
    removeFromSystem(tree, disk, fd.get());
    context.say("Disk /dev/" + disk + " ejected");
    return 0;
}

} // namespace sarnovelle::standin
