#pragma once

#include "linux/diskutil/Backend.h"
#include "linux/diskutil/backends/udisks/UdisksBus.h"
#include "linux/diskutil/checks/DiskPin.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sarnovelle::standin {

class BlockTree;

// The disks changed by the udisks2 service, as the desktop's own disk tools
// do: the service's polkit policy decides, and for a removable USB drive
// of the active local user it lets the changes pass without a password.
// The kernel's names (sdb, sdb1) are matched to udisks2's objects by
// device number.
class UdisksBackend final : public Backend {
public:
    explicit UdisksBackend(std::unique_ptr<UdisksBus> bus) : bus_(std::move(bus)) {}

    int partitionDisk(const Context& context, const PartitionRequest& request) override;
    int mount(const Context& context, const std::string& identifier, MountAccess access) override;
    int unmount(const Context& context, const std::string& identifier) override;
    int eject(const Context& context, const std::string& identifier) override;

private:
    GObjectPtr<UDisksObject> blockObject(const BlockTree& tree, const std::string& name) const;
    std::string kernelName(const BlockTree& tree, UDisksObject* object) const;
    // Unmounts every mount of the volume; a busy one ends the verb, naming
    // the loop device that keeps it busy when one does.
    void unmountVolume(const BlockTree& tree, const std::string& name, UDisksObject* object) const;
    // The disk's own file system and those of its partitions.
    void unmountDisk(const BlockTree& tree, const std::string& disk,
                     UDisksObject* object) const;
    // The partition at 1 MiB of `bytes` with a vfat file system named
    // `label` on the disk, as it appears; empty when it does not.
    std::string findCreated(const std::string& diskPath, std::uint64_t bytes, const std::string& label) const;
    // Erases whatever an old partition that starts where the new one will
    // (1 MiB) holds: file system, md member, LVM label, LUKS header, bcache,
    // swap. Left in place, it would show up again in the new partition the
    // moment the kernel adds it, and an automounter or udev's md and LVM
    // rules would take it up before udisks2 wipes it. Done first
    // and alone: when it fails the disk is as it was or without that file
    // system, and a new run goes on from either. A partition that holds a
    // partition table itself is left to the whole disk's new table.
    void eraseVolumeAtStart(const BlockTree& tree, const std::string& diskPath) const;
    // The volume's mount point, mounting it when no one has yet (with the
    // mount option "ro" when read-only is asked).
    std::string mountVolume(const std::string& name, UDisksObject* object,
                            MountAccess access = MountAccess::readWrite) const;

    // Records the disk the verb works on; stillSameDisk() comes before
    // every call that changes it and ends the verb when the disk was
    // replaced meanwhile.
    void pin(const BlockTree& tree, const std::string& disk, const std::string& verb);
    void stillSameDisk() const;

    std::unique_ptr<UdisksBus> bus_;
    std::optional<DiskPin> pin_;
};

} // namespace sarnovelle::standin
