#include "disks/UsbDisks.h"

#include "core/MakerError.h"
#include "core/Text.h"
#include "disks/BootDisks.h"
#include "disks/DiskName.h"

#include <array>
#include <charconv>
#include <optional>

namespace sarnovelle {

namespace {

// Smallest disk offered: 1088 MiB (17 * 2^26 bytes).
constexpr std::uint64_t minimumSize = 1'140'850'688;

// The size in GB (10^9 bytes) with one decimal, rounded as printf's "%.1f"
// rounds; to_chars never looks at the locale, so the separator is ".".
std::string gigabytes(std::uint64_t size)
{
    std::array<char, 64> buffer{};
    const double value = static_cast<double>(size) / 1e9;
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, 1);
    return std::string(buffer.data(), result.ptr);
}

// The disk as a candidate, or absent when any test fails; the tests run in
// order and the first failure ends them.
std::optional<UsbDisk> examine(const DiskEnv& env, const std::string& identifier)
{
    const auto info = diskutilPlist(env, {"info", "-plist", identifier});
    if (!info) {
        return std::nullopt;
    }
    if (info->text("BusProtocol") != "USB") {
        return std::nullopt;
    }
    if (info->boolean("Internal") != false) {
        return std::nullopt;
    }
    if (info->boolean("WholeDisk") != true) {
        return std::nullopt;
    }
    const auto size = info->number("Size");
    if (!size || *size < minimumSize) {
        return std::nullopt;
    }
    UsbDisk disk;
    disk.id = identifier;
    disk.name = std::string(trimWhitespace(info->text("MediaName").value_or("")));
    disk.size = *size;
    disk.serial = usbSerial(env, identifier);
    return disk;
}

} // namespace

std::string UsbDisk::label() const
{
    return id + ": " + name + "  " + gigabytes(size) + " GB  (serial " + serial + ")";
}

std::vector<UsbDisk> listUsbDisks(const DiskEnv& env)
{
    const auto list = diskutilPlist(env, {"list", "-plist", "external", "physical"});
    const auto wholeDisks = list ? list->textList("WholeDisks") : std::nullopt;
    if (!wholeDisks) {
        throw MakerError("diskutil list failed.");
    }
    const std::set<std::string> boot = bootDisks(env);

    std::vector<UsbDisk> disks;
    for (const std::string& identifier : *wholeDisks) {
        // Never query, list or later erase a name that is not a plain disk
        // name: it ends up in "/dev/" paths and disk utility arguments.
        if (!isPlainDiskName(identifier) || boot.contains(identifier)) {
            continue;
        }
        if (auto disk = examine(env, identifier)) {
            disks.push_back(std::move(*disk));
        }
    }
    return disks;
}

} // namespace sarnovelle
