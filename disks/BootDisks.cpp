#include "disks/BootDisks.h"

#include "core/MakerError.h"

#include <vector>

namespace sarnovelle {

std::optional<std::string> parentWholeDisk(const DiskEnv& env, const std::string& identifier)
{
    const auto info = diskutilPlist(env, {"info", "-plist", identifier});
    if (!info) {
        return std::nullopt;
    }
    return info->text("ParentWholeDisk");
}

namespace {

// "APFSPhysicalStores" counts only as a list whose every element is a
// dictionary with text keys; any other shape is taken as no stores.
std::vector<PlistDict> physicalStores(const PlistDict& rootInfo)
{
    std::vector<PlistDict> stores;
    const auto list = rootInfo.list("APFSPhysicalStores");
    if (!list) {
        return stores;
    }
    for (const PlistNode& element : *list) {
        auto store = element.dict();
        if (!store) {
            return {};
        }
        stores.push_back(std::move(*store));
    }
    return stores;
}

} // namespace

std::set<std::string> bootDisks(const DiskEnv& env)
{
    std::set<std::string> disks;
    // The root mount point stands where a device identifier stands in the
    // other queries.
    const auto rootInfo = diskutilPlist(env, {"info", "-plist", "/"});
    if (!rootInfo) {
        // Without it no disk could be excluded, and the system's own disk
        // might be offered for erasing.
        throw MakerError(std::string(rootQueryFailed));
    }
    if (auto parent = rootInfo->text("ParentWholeDisk")) {
        disks.insert(std::move(*parent));
    }
    for (const PlistDict& store : physicalStores(*rootInfo)) {
        const auto storeId = store.text("APFSPhysicalStore");
        if (!storeId) {
            continue;
        }
        if (auto whole = parentWholeDisk(env, *storeId)) {
            disks.insert(std::move(*whole));
        }
    }
    return disks;
}

} // namespace sarnovelle
