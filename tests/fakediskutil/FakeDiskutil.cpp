#include "FakeDiskutil.h"

#include "ScenarioFiles.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

namespace sarnovelle::test {

namespace fs = std::filesystem;
using namespace sarnovelle::fake;

FakeDiskutil::FakeDiskutil(fs::path folder) : folder_(std::move(folder))
{
    fs::create_directories(folder_ / "rules");
    fs::create_directories(sysfsRoot());
    fs::remove(folder_ / "diskutil");
    fs::create_symlink(programPath(), folder_ / "diskutil");
}

std::string FakeDiskutil::programPath() { return SARNOVELLE_FAKE_DISKUTIL_PROGRAM; }

std::string FakeDiskutil::path() const { return (folder_ / "diskutil").string(); }

fs::path FakeDiskutil::sysfsRoot() const { return folder_ / "sys"; }

DiskEnv FakeDiskutil::env() const
{
    DiskEnv env;
    env.diskutil = path();
    env.sysfsRoot = sysfsRoot().string();
    env.lockFolder = (folder_ / "lock").string();
    return env;
}

void FakeDiskutil::answer(const Arguments& arguments, const std::vector<FakeAnswer>& answers)
{
    const std::string packed = packArguments(arguments);
    // The rule for the same list, or a new one after the last.
    fs::path rule;
    int last = -1;
    for (const auto& entry : fs::directory_iterator(folder_ / "rules")) {
        last = std::max(last, std::stoi(entry.path().filename().string()));
        if (readWhole(entry.path() / "args") == packed) {
            rule = entry.path();
        }
    }
    if (rule.empty()) {
        rule = folder_ / "rules" / std::to_string(last + 1);
    }
    fs::remove_all(rule);
    fs::create_directories(rule / "answers");
    writeWhole(rule / "args", packed);
    for (std::size_t k = 0; k < answers.size(); ++k) {
        const fs::path answer = rule / "answers" / std::to_string(k);
        fs::create_directories(answer);
        writeWhole(answer / "output", answers[k].output);
        writeWhole(answer / "status", std::to_string(answers[k].status));
        if (answers[k].breakAfter) {
            writeWhole(answer / "break", "");
        }
    }
}

void FakeDiskutil::answer(const Arguments& arguments, const FakeAnswer& answer)
{
    this->answer(arguments, std::vector<FakeAnswer>{answer});
}

void FakeDiskutil::answer(const Arguments& arguments, const PlistDict& plist)
{
    answer(arguments, FakeAnswer{plist.toXml(), 0, false});
}

void FakeDiskutil::answer(const Arguments& arguments, const std::vector<PlistDict>& plists)
{
    std::vector<FakeAnswer> answers;
    for (const auto& plist : plists) {
        answers.push_back(FakeAnswer{plist.toXml(), 0, false});
    }
    answer(arguments, answers);
}

void FakeDiskutil::listWholeDisks(const std::vector<std::string>& identifiers)
{
    PlistDict list;
    list.setTextList("WholeDisks", identifiers);
    answer({"list", "-plist", "external", "physical"}, list);
}

void FakeDiskutil::rootVolume(const std::string& parentWholeDisk, const std::vector<std::string>& stores)
{
    PlistDict info;
    info.setText("ParentWholeDisk", parentWholeDisk);
    if (!stores.empty()) {
        std::vector<PlistDict> entries;
        for (const auto& store : stores) {
            PlistDict entry;
            entry.setText("APFSPhysicalStore", store);
            entries.push_back(entry);
        }
        info.setDictList("APFSPhysicalStores", entries);
    }
    answer({"info", "-plist", "/"}, info);
}

void FakeDiskutil::parentOf(const std::string& identifier, const std::string& parentWholeDisk)
{
    PlistDict info;
    info.setText("ParentWholeDisk", parentWholeDisk);
    answer({"info", "-plist", identifier}, info);
}

PlistDict FakeDiskutil::usbDiskInfo(const std::string& mediaName, std::uint64_t size)
{
    PlistDict info;
    info.setText("BusProtocol", "USB");
    info.setBool("Internal", false);
    info.setBool("WholeDisk", true);
    info.setNumber("Size", size);
    info.setText("MediaName", mediaName);
    return info;
}

void FakeDiskutil::usbDisk(const std::string& identifier, const std::string& mediaName, std::uint64_t size)
{
    answer({"info", "-plist", identifier}, usbDiskInfo(mediaName, size));
}

void FakeDiskutil::simulateStick(const FakeStick& stick)
{
    fs::create_directories(folder_ / "stick");
    writeSettings(folder_ / "stick" / "config",
                  {{"disk", stick.disk},
                   {"mountDelay", std::to_string(stick.mountDelay)},
                   {"filesystem", stick.filesystem},
                   {"ejectStatus", std::to_string(stick.ejectStatus)},
                   {"remountSamePath", stick.remountSamePath ? "1" : "0"},
                   {"label", stick.label},
                   {"offset", std::to_string(stick.offset)},
                   {"size", std::to_string(stick.size)},
                   {"type", std::to_string(stick.type)},
                   {"content", stick.content},
                   {"filesystemName", stick.filesystemName}});
    fs::remove(folder_ / "stick" / "state");
}

void FakeDiskutil::madeStick(const FakeStick& stick, const std::vector<std::pair<std::string, std::string>>& files,
                             bool mounted)
{
    simulateStick(stick);
    const fs::path volume = folder_ / "volumes" / (mounted ? stick.label : std::string(".unmounted"));
    fs::create_directories(volume);
    for (const auto& [path, content] : files) {
        fs::create_directories((volume / path).parent_path());
        writeWhole(volume / path, content);
    }
    writeSettings(folder_ / "stick" / "state", {{"name", stick.label},
                                                {"mounts", "1"},
                                                {"ejected", "0"},
                                                {"pending", "0"},
                                                {"mountPoint", mounted ? volume.string() : std::string()}});
}

bool FakeDiskutil::readOnlyMount() const
{
    return readSettings(folder_ / "stick" / "state")["readOnly"] == "1";
}

std::string FakeDiskutil::stickMountPoint() const
{
    const auto state = readSettings(folder_ / "stick" / "state");
    const auto found = state.find("mountPoint");
    return found == state.end() ? std::string() : found->second;
}

std::vector<Arguments> FakeDiskutil::invocations() const
{
    std::vector<Arguments> runs;
    std::istringstream lines(readWhole(folder_ / "invocations.log").value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        runs.push_back(parseLogLine(line));
    }
    return runs;
}

int FakeDiskutil::count(const Arguments& arguments) const
{
    const auto runs = invocations();
    return static_cast<int>(std::count(runs.begin(), runs.end(), arguments));
}

void FakeDiskutil::clearInvocations() const { fs::remove(folder_ / "invocations.log"); }

} // namespace sarnovelle::test
