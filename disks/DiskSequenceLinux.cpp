#include "disks/UsbDisks.h"

#include "disks/DiskName.h"

#include <charconv>
#include <filesystem>
#include <fstream>

namespace sarnovelle {

// /sys/class/block/<id>/diskseq: "41" and a line feed. A kernel before
// 5.15 has no such file; a disk that is gone has no folder.
std::optional<std::uint64_t> diskSequence(const DiskEnv& env, const std::string& identifier)
{
    if (!isPlainDiskName(identifier)) {
        return std::nullopt;
    }
    std::ifstream in(std::filesystem::path(env.sysfsRoot) / "class" / "block" / identifier / "diskseq");
    std::string text;
    if (!std::getline(in, text) || text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace sarnovelle
