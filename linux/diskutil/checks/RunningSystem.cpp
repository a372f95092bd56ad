#include "linux/diskutil/checks/RunningSystem.h"

#include "core/MakerError.h"
#include "core/UniqueFd.h"

#include <fcntl.h>

#include <algorithm>
#include <string>

namespace sarnovelle::standin {

namespace {

// Opening the folder is an access the kernel hands to the automounter; it
// returns once the file system is mounted or the mount has failed.
void openFolder(const std::string& mountPoint)
{
    const UniqueFd folder(::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The system's places whose topmost mount is an automount point.
std::vector<std::string> idleAutomounts(const std::vector<MountEntry>& table)
{
    std::vector<std::string> places;
    for (const auto place : systemPlaces) {
        const auto top = mountAt(table, std::string(place));
        if (top && top->fsType == "autofs") {
            places.emplace_back(place);
        }
    }
    return places;
}

} // namespace

std::vector<MountEntry> readSystemMountTable(const Context& context)
{
    auto table = readMountInfo(context.roots);
    std::vector<std::string> woken;
    for (;;) {
        std::vector<std::string> fresh;
        for (const auto& place : idleAutomounts(table)) {
            if (std::find(woken.begin(), woken.end(), place) == woken.end()) {
                fresh.push_back(place);
            }
        }
        if (fresh.empty()) {
            return table;
        }
        for (const auto& place : fresh) {
            if (context.wakeAutomount) {
                context.wakeAutomount(place);
            } else {
                openFolder(place);
            }
            woken.push_back(place);
        }
        table = readMountInfo(context.roots);
    }
}

RunningSystem readRunningSystem(const Context& context, const BlockTree& tree)
{
    RunningSystem running;
    running.table = readSystemMountTable(context);
    running.swaps = readSwaps(context.roots);
    running.stores = systemStores(tree, running.table, running.swaps);
    if (!running.stores.unknown.empty()) {
        throw MakerError("The running system's disks cannot be found: " + running.stores.unknown);
    }
    return running;
}

} // namespace sarnovelle::standin
