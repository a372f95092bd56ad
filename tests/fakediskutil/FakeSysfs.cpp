#include "FakeSysfs.h"

#include "ScenarioFiles.h"

namespace sarnovelle::test {

namespace fs = std::filesystem;

FakeSysfs::FakeSysfs(fs::path root) : root_(std::move(root))
{
    fs::create_directories(root_ / "class" / "block");
    fs::create_directories(root_ / "devices");
}

fs::path FakeSysfs::blockDevice(const std::string& id, const std::string& devicePath)
{
    const fs::path device = root_ / "devices" / devicePath;
    const fs::path block = device / "block" / id;
    fs::create_directories(block);
    fake::writeWhole(block / "dev", "8:0\n");
    // Relative, like the kernel's links: ../../devices/...
    fs::create_symlink(fs::path("../..") / "devices" / devicePath / "block" / id, root_ / "class" / "block" / id);
    return device;
}

void FakeSysfs::attribute(const fs::path& folder, const std::string& name, const std::string& content)
{
    const fs::path base = folder.is_absolute() ? folder : root_ / "devices" / folder;
    fs::create_directories(base);
    fake::writeWhole(base / name, content);
}

void FakeSysfs::usbDisk(const std::string& id, const std::optional<std::string>& serialAttribute)
{
    const std::string bus = std::to_string(nextBus_++);
    const std::string hub = "pci0000:00/0000:00:14.0/usb" + bus;
    const std::string stick = hub + "/" + bus + "-1";
    const std::string host = "host" + bus;
    const std::string target = "target" + bus + ":0:0";
    blockDevice(id, stick + "/" + bus + "-1:1.0/" + host + "/" + target + "/" + bus + ":0:0:0");

    attribute(hub, "idVendor", "1d6b\n");
    attribute(hub, "serial", "0000:00:14.0\n");
    attribute(stick, "idVendor", "0781\n");
    attribute(stick, "product", "Ultra\n");
    if (serialAttribute) {
        attribute(stick, "serial", *serialAttribute);
    }
    attribute(stick + "/" + bus + "-1:1.0", "bInterfaceClass", "08\n");
}

void FakeSysfs::sataDisk(const std::string& id)
{
    const std::string port = "pci0000:00/0000:00:17.0/ata" + std::to_string(nextBus_++);
    const fs::path device = blockDevice(id, port + "/host0/target0:0:0/0:0:0:0");
    attribute(device, "model", "Samsung SSD 870\n");
    attribute(device, "vendor", "ATA     \n");
}

} // namespace sarnovelle::test
