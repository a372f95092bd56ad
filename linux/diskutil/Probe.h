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

FilesystemProbe probeFilesystem(const std::filesystem::path& node);

// Erases every file-system, RAID and partition-table signature libblkid
// finds on the open device (as wipefs -a does). Throws MakerError naming
// `name` when the device cannot be probed or written.
void wipeSignatures(int fd, const std::string& name);

// The answer's name for a file-system type: "msdos" for FAT, the kernel's
// name otherwise.
std::string filesystemName(const std::string& kernelType);

} // namespace sarnovelle::standin
