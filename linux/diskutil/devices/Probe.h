#pragma once

#include <filesystem>
#include <string>

namespace sarnovelle::standin {

// What libblkid finds on a device or image: the file system's kernel name
// ("vfat", "ext4"; empty when none or when it cannot be read) and its label.
struct FilesystemProbe {
    std::string type;
    std::string label;
};

// With `expected` (the kernel's type of a mounted volume), only that type's
// signature is looked for first, which reads a few blocks instead of every
// place some file system keeps its signature; when it is not found there,
// the whole probe follows.
FilesystemProbe probeFilesystem(const std::filesystem::path& node, const std::string& expected = {});

// Erases every file-system, RAID and partition-table signature libblkid
// finds on the open device (as wipefs -a does). Throws MakerError naming
// `name` when the device cannot be probed or written.
void wipeSignatures(int fd, const std::string& name);

// The answer's name for a file-system type: "msdos" for FAT, the kernel's
// name otherwise.
std::string filesystemName(const std::string& kernelType);

} // namespace sarnovelle::standin
