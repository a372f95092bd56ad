#include "FakeSystem.h"

#include "core/Text.h"
#include "linux/diskutil/Command.h"

#include <fstream>
#include <stdexcept>
#include <tuple>

namespace fs = std::filesystem;

namespace sarnovelle::test {

namespace {

std::string escape(const std::string& text)
{
    std::string escaped;
    for (const char c : text) {
        if (c == ' ') {
            escaped += "\\040";
        } else if (c == '\t') {
            escaped += "\\011";
        } else if (c == '\n') {
            escaped += "\\012";
        } else if (c == '\\') {
            escaped += "\\134";
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    for (const auto line : splitLines(text)) {
        result.emplace_back(line);
    }
    return result;
}

} // namespace

std::optional<PlistDict> Outcome::plist() const { return PlistDict::parse(toBytes(out)); }
std::vector<std::string> Outcome::outLines() const { return lines(out); }
std::vector<std::string> Outcome::errLines() const { return lines(err); }

FakeSystem::FakeSystem()
{
    for (const char* folder : {"sys/class/block", "sys/devices/virtual/block", "sys/fs", "proc/self", "dev", "media"}) {
        fs::create_directories(dir_ / folder);
    }
    dir_.write("proc/swaps", "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n");
    // A kernel's table is never empty: at least the proc file system it is
    // read from is mounted.
    mount("0:22", "/proc", "proc", "proc");
}

standin::Roots FakeSystem::roots() const
{
    standin::Roots roots;
    roots.sysfs = dir_ / "sys";
    roots.proc = dir_ / "proc";
    roots.dev = dir_ / "dev";
    roots.media = dir_ / "media";
    roots.udevData = dir_ / "run/udev/data";
    return roots;
}

void FakeSystem::device(const std::string& path, const std::string& bus)
{
    const fs::path folder = sys() / "devices" / path;
    fs::create_directories(folder);
    fs::create_directories(sys() / "bus" / bus);
    fs::create_symlink(sys() / "bus" / bus, folder / "subsystem");
}

void FakeSystem::deviceFile(const std::string& path, const std::string& file, const std::string& content)
{
    dir_.write("sys/devices/" + path + "/" + file, content);
}

fs::path FakeSystem::blockFolder(const std::string& name) const { return fs::canonical(sys() / "class/block" / name); }

void FakeSystem::disk(const std::string& name, const std::string& parent, const std::string& dev,
                      std::uint64_t sectors, bool removable)
{
    const fs::path folder = sys() / "devices" / parent / "block" / name;
    fs::create_directories(folder / "queue");
    fs::create_directories(folder / "slaves");
    fs::create_symlink(sys() / "devices" / parent, folder / "device");
    fs::create_symlink(folder, sys() / "class/block" / name);
    dir_.write(fs::relative(folder / "dev", dir_.path()).string(), dev + "\n");
    dir_.write(fs::relative(folder / "size", dir_.path()).string(), std::to_string(sectors) + "\n");
    dir_.write(fs::relative(folder / "removable", dir_.path()).string(), removable ? "1\n" : "0\n");
    dir_.write(fs::relative(folder / "queue/logical_block_size", dir_.path()).string(), "512\n");
    dir_.write(fs::relative(folder / "ro", dir_.path()).string(), "0\n");
}

void FakeSystem::virtualDisk(const std::string& name, const std::string& dev, std::uint64_t sectors)
{
    const fs::path folder = sys() / "devices/virtual/block" / name;
    fs::create_directories(folder / "slaves");
    fs::create_symlink(folder, sys() / "class/block" / name);
    dir_.write(fs::relative(folder / "dev", dir_.path()).string(), dev + "\n");
    dir_.write(fs::relative(folder / "size", dir_.path()).string(), std::to_string(sectors) + "\n");
    dir_.write(fs::relative(folder / "removable", dir_.path()).string(), "0\n");
}

void FakeSystem::partition(const std::string& disk, const std::string& name, unsigned number, const std::string& dev,
                           std::uint64_t sectors)
{
    const fs::path folder = blockFolder(disk) / name;
    fs::create_directories(folder);
    fs::create_symlink(folder, sys() / "class/block" / name);
    dir_.write(fs::relative(folder / "dev", dir_.path()).string(), dev + "\n");
    dir_.write(fs::relative(folder / "size", dir_.path()).string(), std::to_string(sectors) + "\n");
    dir_.write(fs::relative(folder / "partition", dir_.path()).string(), std::to_string(number) + "\n");
    dir_.write(fs::relative(folder / "ro", dir_.path()).string(), "0\n");
}

void FakeSystem::slave(const std::string& holder, const std::string& slave)
{
    fs::create_directories(blockFolder(holder) / "slaves");
    fs::create_symlink(blockFolder(slave), blockFolder(holder) / "slaves" / slave);
    fs::create_directories(blockFolder(slave) / "holders");
    fs::create_symlink(blockFolder(holder), blockFolder(slave) / "holders" / holder);
}

void FakeSystem::attribute(const std::string& name, const std::string& relative, const std::string& value)
{
    dir_.write(fs::relative(blockFolder(name) / relative, dir_.path()).string(), value + "\n");
}

void FakeSystem::mount(const std::string& dev, const std::string& mountPoint, const std::string& fsType,
                       const std::string& source, const std::string& root, const std::string& superOptions)
{
    const int id = ++mountId_;
    mountInfo_ += std::to_string(id) + " 1 " + dev + " " + escape(root) + " " + escape(mountPoint) + " rw,relatime shared:" + std::to_string(id)
                  + " - " + fsType + " " + escape(source) + " " + superOptions + "\n";
    dir_.write("proc/self/mountinfo", mountInfo_);
}

void FakeSystem::swap(const std::string& path, const std::string& type)
{
    swaps_ += escape(path) + "\t" + type + "\t\t8388604\t\t0\t\t-2\n";
    dir_.write("proc/swaps", "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n" + swaps_);
}

void FakeSystem::btrfs(const std::string& uuid, const std::vector<std::string>& devices)
{
    const fs::path folder = sys() / "fs/btrfs" / uuid / "devices";
    fs::create_directories(folder);
    for (const auto& device : devices) {
        fs::create_symlink(blockFolder(device), folder / device);
    }
}

fs::path FakeSystem::node(const std::string& name, std::uint64_t bytes)
{
    const fs::path file = dir_.write("dev/" + name, "");
    fs::resize_file(file, bytes);
    return file;
}

Outcome FakeSystem::run(const std::vector<std::string>& arguments, bool privileged) const
{
    std::ostringstream out;
    std::ostringstream err;
    standin::Context context;
    context.roots = roots();
    context.privileged = privileged;
    context.systemBus = systemBus;
    context.udisksModule = udisksModule;
    context.wakeAutomount = [this](const std::string& mountPoint) {
        if (automounter) {
            automounter(mountPoint);
        }
    };
    context.owner.name = "alice";
    context.owner.uid = 1000;
    context.owner.gid = 1000;
    context.out = &out;
    context.err = &err;
    Outcome outcome;
    outcome.status = standin::runCommand(context, arguments);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

void addUsbStick(FakeSystem& system, const std::string& disk, const std::string& port, unsigned host,
                 const std::string& dev, std::uint64_t sectors)
{
    const std::string usb = "pci0000:00/0000:00:14.0/usb2";
    if (!fs::exists(system.sys() / "devices" / usb)) {
        system.device("pci0000:00/0000:00:14.0", "pci");
        system.device(usb, "usb");
    }
    const std::string device = usb + "/" + port;
    const std::string hostName = "host" + std::to_string(host);
    system.device(device, "usb");
    system.deviceFile(device, "serial", "4C530001234567 \n");
    system.deviceFile(device, "remove", "");
    system.device(device + "/" + port + ":1.0", "usb");
    system.device(device + "/" + port + ":1.0/" + hostName, "scsi");
    const std::string scsi = device + "/" + port + ":1.0/" + hostName + "/target" + std::to_string(host) + ":0:0/"
                             + std::to_string(host) + ":0:0:0";
    system.device(scsi, "scsi");
    system.deviceFile(scsi, "vendor", "SanDisk \n");
    system.deviceFile(scsi, "model", "Cruzer   Blade   \n");
    system.deviceFile(scsi, "type", "0\n");
    system.deviceFile(scsi, "delete", "");
    system.disk(disk, scsi, dev, sectors, true);
}

void addTypicalDisks(FakeSystem& system)
{
    // Internal SATA disk.
    system.device("pci0000:00/0000:00:17.0", "pci");
    system.device("pci0000:00/0000:00:17.0/ata1/host0", "scsi");
    system.device("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "scsi");
    system.deviceFile("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "vendor", "ATA     \n");
    system.deviceFile("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "model", "Samsung SSD 870 \n");
    system.disk("sda", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "8:0", 1953525168);
    system.partition("sda", "sda1", 1, "8:1", 1048576);
    system.partition("sda", "sda2", 2, "8:2", 1952474000);

    // USB sticks.
    const std::string usb = "pci0000:00/0000:00:14.0/usb2";
    addUsbStick(system, "sdb", "2-1", 6, "8:16", 60062500);
    system.partition("sdb", "sdb1", 1, "8:17", 60062500 - 2048);
    addUsbStick(system, "sdc", "2-2", 7, "8:32", 15466496);
    system.partition("sdc", "sdc1", 1, "8:33", 15466496 - 2048);

    // NVMe disk.
    system.device("pci0000:00/0000:00:1d.0/0000:3d:00.0", "pci");
    system.device("pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "nvme");
    system.deviceFile("pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "model", "WD Blue SN570 1TB\n");
    system.disk("nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "259:0", 1953525168);
    system.partition("nvme0n1", "nvme0n1p1", 1, "259:1", 1048576);

    // SD card in a card reader that reports removable media, with the
    // eMMC-style boot area that is no disk of its own.
    system.device("pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa", "mmc");
    system.deviceFile("pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa", "name", "SC32G\n");
    system.disk("mmcblk0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa", "179:0", 62333952, true);
    system.disk("mmcblk0boot0", "pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa", "179:8", 8192, true);

    // Kernel virtual disks and a USB optical drive.
    system.virtualDisk("loop0", "7:0", 2097152);
    system.virtualDisk("zram0", "252:0", 16777216);
    system.device(usb + "/2-3", "usb");
    system.device(usb + "/2-3/2-3:1.0/host8/target8:0:0/8:0:0:0", "scsi");
    system.deviceFile(usb + "/2-3/2-3:1.0/host8/target8:0:0/8:0:0:0", "type", "5\n");
    system.disk("sr0", usb + "/2-3/2-3:1.0/host8/target8:0:0/8:0:0:0", "11:0", 8388608, true);
}

} // namespace sarnovelle::test
