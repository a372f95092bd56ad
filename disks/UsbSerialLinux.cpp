#include "disks/UsbDisks.h"

#include "core/Text.h"
#include "disks/DiskName.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace sarnovelle {

namespace fs = std::filesystem;

namespace {

// A USB device (devtype usb_device) carries idVendor; its interfaces, hubs'
// ports and the SCSI and block devices below it do not.
bool isUsbDevice(const fs::path& folder)
{
    std::error_code error;
    return fs::is_regular_file(folder / "idVendor", error);
}

std::string readAttribute(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // The kernel ends every attribute with one line feed of its own; any
    // further line break belongs to the value.
    if (!content.empty() && content.back() == '\n') {
        content.pop_back();
    }
    return content;
}

} // namespace

// /sys/class/block/<id> links to the block device deep inside the device
// tree; the first USB device on the way up is the stick (or the adapter
// the disk sits in), and its "serial" attribute is the USB serial number.
// Walking stops there: the next USB device up is a hub, whose serial is
// not the disk's.
std::string usbSerial(const DiskEnv& env, const std::string& identifier)
{
    if (!isPlainDiskName(identifier)) {
        return {};
    }
    std::error_code error;
    const fs::path root = fs::canonical(env.sysfsRoot, error);
    if (error) {
        return {};
    }
    fs::path folder = fs::canonical(root / "class" / "block" / identifier, error);
    if (error) {
        return {};
    }
    while (folder != root && folder != folder.root_path()) {
        if (isUsbDevice(folder)) {
            const std::string serial = decodeUtf8Lossy(toBytes(readAttribute(folder / "serial")));
            return std::string(trimWhitespace(serial));
        }
        folder = folder.parent_path();
    }
    return {};
}

} // namespace sarnovelle
