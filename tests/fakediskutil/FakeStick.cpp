#include "FakeStick.h"

#include "ScenarioFiles.h"

#include "disks/DiskName.h"

#include <map>

namespace sarnovelle::fake {

namespace fs = std::filesystem;

namespace {

int number(const std::map<std::string, std::string>& settings, const std::string& key, int fallback)
{
    const auto found = settings.find(key);
    if (found == settings.end() || found->second.empty()) {
        return fallback;
    }
    return std::stoi(found->second);
}

std::string xmlEscape(const std::string& text)
{
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped.push_back(c);
        }
    }
    return escaped;
}

std::string setting(const std::map<std::string, std::string>& config, const std::string& key, const char* fallback)
{
    const auto found = config.find(key);
    return found == config.end() ? fallback : found->second;
}

// The partition's layout keys as the disk utility answers them; the
// configuration may change each (see FakeStick).
std::string layoutKeys(const std::map<std::string, std::string>& config)
{
    return "\t<key>PartitionMapPartitionOffset</key>\n\t<integer>" + setting(config, "offset", "1048576")
           + "</integer>\n"
             "\t<key>Size</key>\n\t<integer>" + setting(config, "size", "1073741824") + "</integer>\n"
           "\t<key>MBRPartitionType</key>\n\t<integer>" + setting(config, "type", "12") + "</integer>\n"
           "\t<key>Content</key>\n\t<string>" + xmlEscape(setting(config, "content", "DOS_FAT_32")) + "</string>\n"
           "\t<key>FilesystemName</key>\n\t<string>" + xmlEscape(setting(config, "filesystemName", "MS-DOS (FAT32)"))
           + "</string>\n";
}

std::string partitionInfo(const std::string& partition, const std::string& filesystem, const std::string& mountPoint,
                          const std::string& label, const std::string& layout)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>DeviceIdentifier</key>\n\t<string>" + xmlEscape(partition) + "</string>\n"
           "\t<key>FilesystemType</key>\n\t<string>" + xmlEscape(filesystem) + "</string>\n"
           "\t<key>MountPoint</key>\n\t<string>" + xmlEscape(mountPoint) + "</string>\n"
           "\t<key>VolumeName</key>\n\t<string>" + xmlEscape(label) + "</string>\n"
           + layout + "</dict>\n</plist>\n";
}

class Stick {
public:
    explicit Stick(const fs::path& scenario)
        : folder_(scenario / "stick"), volumes_(scenario / "volumes"),
          config_(readSettings(folder_ / "config")), state_(readSettings(folder_ / "state"))
    {
    }

    bool configured() const { return config_.contains("disk"); }
    std::string disk() const { return config_.at("disk"); }
    std::string partition() const { return firstPartitionId(disk()); }

    std::optional<Reply> handle(const std::vector<std::string>& a)
    {
        const std::string device = "/dev/" + disk();
        if (a.size() == 9 && a[0] == "partitionDisk" && a[1] == device) {
            if (a[2] != "MBR" || a[3] != "MS-DOS FAT32" || a[6] != "Free Space" || a[7] != "none" || a[8] != "R") {
                return Reply{"fake diskutil: unsupported partitionDisk arguments\n", 1};
            }
            return partitionDisk(a[4]);
        }
        if (a == std::vector<std::string>{"info", "-plist", partition()}) {
            return info();
        }
        if (a == std::vector<std::string>{"unmount", partition()}) {
            return unmount();
        }
        if (a == std::vector<std::string>{"mount", partition()}) {
            return mount();
        }
        if (a == std::vector<std::string>{"mount", "readOnly", partition()}) {
            set("readOnly", "1");
            return mount();
        }
        if (a == std::vector<std::string>{"eject", device}) {
            return eject();
        }
        return std::nullopt;
    }

private:
    Reply partitionDisk(const std::string& name)
    {
        // The erase throws away whatever the partition held.
        fs::remove_all(volumes_);
        fs::create_directories(volumes_);
        set("name", name);
        set("mounts", "0");
        set("ejected", "0");
        mountAgain();
        save();
        std::string output = "Started partitioning on ";
        output.append(disk()).append("\nUnmounting disk\nCreating the partition map\nFormatting ");
        output.append(partition()).append(" as MS-DOS (FAT32) with name ").append(name);
        output.append("\nMounting disk\nFinished partitioning on ").append(disk()).append("\n");
        return Reply{output, 0};
    }

    Reply info()
    {
        if (!state_.contains("name") || state_["ejected"] == "1") {
            return Reply{"Could not find disk: " + partition() + "\n", 1};
        }
        std::string mountPoint = state_["mountPoint"];
        const int pending = number(state_, "pending", 0);
        if (!mountPoint.empty() && pending > 0) {
            set("pending", std::to_string(pending - 1));
            save();
            mountPoint.clear();
        }
        const auto found = config_.find("filesystem");
        return Reply{partitionInfo(partition(), found == config_.end() ? "msdos" : found->second, mountPoint,
                                   setting(config_, "label", "SARNOVELLE"), layoutKeys(config_)),
                     0};
    }

    Reply unmount()
    {
        if (state_["mountPoint"].empty()) {
            return Reply{"Volume on " + partition() + " failed to unmount: not mounted\n", 1};
        }
        fs::rename(state_["mountPoint"], unmountedFolder());
        set("mountPoint", "");
        set("readOnly", "0");
        save();
        return Reply{"Volume " + state_["name"] + " on " + partition() + " unmounted\n", 0};
    }

    Reply mount()
    {
        if (!state_["mountPoint"].empty() || !fs::exists(unmountedFolder())) {
            return Reply{"Volume on " + partition() + " failed to mount\n", 1};
        }
        mountAgain();
        save();
        return Reply{"Volume " + state_["name"] + " on " + partition() + " mounted\n", 0};
    }

    Reply eject()
    {
        const int status = number(config_, "ejectStatus", 0);
        if (status != 0) {
            return Reply{"Unable to eject /dev/" + disk() + ": resource busy\n", status};
        }
        if (!state_["mountPoint"].empty()) {
            fs::rename(state_["mountPoint"], unmountedFolder());
            set("mountPoint", "");
        }
        set("ejected", "1");
        save();
        return Reply{"Disk /dev/" + disk() + " ejected\n", 0};
    }

    // Mounts the partition: the first mount at volumes/<name>, every later
    // one at volumes/<name> <n> unless the scenario keeps the path.
    void mountAgain()
    {
        const int mounts = number(state_, "mounts", 0);
        std::string leaf = state_["name"];
        if (mounts > 0 && number(config_, "remountSamePath", 0) == 0) {
            leaf = leaf + ' ' + std::to_string(mounts);
        }
        const fs::path mountPoint = volumes_ / leaf;
        if (fs::exists(unmountedFolder())) {
            fs::rename(unmountedFolder(), mountPoint);
        } else {
            fs::create_directories(mountPoint);
        }
        set("mountPoint", mountPoint.string());
        set("mounts", std::to_string(mounts + 1));
        set("pending", std::to_string(number(config_, "mountDelay", 0)));
    }

    // Values are built first and moved in whole (GCC 12 at -O3 warns
    // wrongly about assigning short literals into a map's strings).
    void set(const std::string& key, std::string value) { state_.insert_or_assign(key, std::move(value)); }

    fs::path unmountedFolder() const { return volumes_ / ".unmounted"; }
    void save() const { writeSettings(folder_ / "state", state_); }

    fs::path folder_;
    fs::path volumes_;
    std::map<std::string, std::string> config_;
    std::map<std::string, std::string> state_;
};

} // namespace

std::optional<Reply> simulateStick(const fs::path& scenario, const std::vector<std::string>& arguments)
{
    Stick stick(scenario);
    if (!stick.configured()) {
        return std::nullopt;
    }
    return stick.handle(arguments);
}

} // namespace sarnovelle::fake
