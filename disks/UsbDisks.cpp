#include "disks/UsbDisks.h"

#include "core/MakerError.h"
#include "core/Text.h"
#include "disks/BootDisks.h"
#include "disks/DiskName.h"

#include <array>
#include <charconv>
#include <optional>
#include <variant>

namespace sarnovelle {

namespace {

// Smallest disk offered: 1088 MiB (17 * 2^26 bytes).
constexpr std::uint64_t minimumSize = 1'140'850'688;
constexpr std::uint64_t mebibyte = 1 << 20;

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

// The disk as a candidate, or why it is not one; the tests run in order
// and the first failure ends them.
std::variant<UsbDisk, std::string> examine(const DiskEnv& env, const std::string& identifier)
{
    const auto info = diskutilPlist(env, {"info", "-plist", identifier});
    if (!info) {
        return std::string("no information from the disk utility");
    }
    if (info->text("BusProtocol") != "USB") {
        return std::string("not attached by USB");
    }
    if (info->boolean("Internal") != false) {
        return std::string("internal");
    }
    if (info->boolean("WholeDisk") != true) {
        return std::string("not a whole disk");
    }
    const auto size = info->number("Size");
    if (!size) {
        return std::string("size unknown");
    }
    if (*size < minimumSize) {
        return "too small (" + std::to_string(*size / mebibyte) + " MiB, at least "
               + std::to_string(minimumSize / mebibyte) + " MiB needed)";
    }
    // Something built on the disk (an encrypted or LVM volume, a RAID
    // array) would be destroyed with it; only the Linux utility says so.
    if (const auto user = info->text("InUseBy"); user && !user->empty()) {
        return "in use by " + *user;
    }
    // A stick with its lock switch on; absent from an answer means writable.
    if (info->boolean("WritableMedia") == false) {
        return std::string(writeProtectedReason);
    }
    UsbDisk disk;
    disk.id = identifier;
    disk.name = std::string(trimWhitespace(info->text("MediaName").value_or("")));
    disk.size = *size;
    disk.serial = usbSerial(env, identifier);
    disk.sequence = diskSequence(env, identifier);
    return disk;
}

} // namespace

std::string UsbDisk::label() const
{
    return id + ": " + name + "  " + gigabytes(size) + " GB  (serial " + serial + ")";
}

UsbDiskSurvey surveyUsbDisks(const DiskEnv& env)
{
    const auto list = diskutilPlist(env, {"list", "-plist", "external", "physical"});
    const auto wholeDisks = list ? list->textList("WholeDisks") : std::nullopt;
    if (!wholeDisks) {
        throw MakerError("diskutil list failed.");
    }
    const std::set<std::string> boot = bootDisks(env);

    UsbDiskSurvey survey;
    for (const std::string& identifier : *wholeDisks) {
        // Never query, list or later erase a name that is not a plain disk
        // name: it ends up in "/dev/" paths and disk utility arguments.
        if (!isPlainDiskName(identifier)) {
            survey.leftOut.push_back({identifier, "not a plain disk name"});
            continue;
        }
        if (boot.contains(identifier)) {
            survey.leftOut.push_back({identifier, "system disk"});
            continue;
        }
        auto examined = examine(env, identifier);
        if (auto* disk = std::get_if<UsbDisk>(&examined)) {
            survey.disks.push_back(std::move(*disk));
        } else {
            survey.leftOut.push_back({identifier, std::move(std::get<std::string>(examined))});
        }
    }
    return survey;
}

std::vector<UsbDisk> listUsbDisks(const DiskEnv& env)
{
    return surveyUsbDisks(env).disks;
}

} // namespace sarnovelle
