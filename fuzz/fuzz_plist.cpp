// Feeds arbitrary bytes to the property-list reader and reads every value
// back through every typed accessor, as the disk queries do.
#include "core/Plist.h"

#include <cstddef>
#include <cstdint>

namespace {

using sarnovelle::PlistDict;
using sarnovelle::PlistNode;

void walk(const PlistNode& node, int depth);

// Every key the disk queries read, and a few more.
constexpr const char* keys[] = {"WholeDisks", "ParentWholeDisk", "APFSPhysicalStores", "APFSPhysicalStore",
                                "BusProtocol", "Internal", "WholeDisk", "Size", "MediaName",
                                "FilesystemType", "MountPoint", "Data", "Ratio", ""};

void walk(const PlistDict& dict, int depth)
{
    dict.size();
    for (const char* key : keys) {
        dict.text(key);
        dict.boolean(key);
        dict.number(key);
        dict.textList(key);
        if (const auto value = dict.get(key)) {
            walk(*value, depth + 1);
        }
    }
}

void walk(const PlistNode& node, int depth)
{
    if (depth > 64) {
        return;
    }
    node.text();
    node.boolean();
    node.number();
    if (const auto items = node.list()) {
        for (const auto& item : *items) {
            walk(item, depth + 1);
        }
    }
    if (const auto dict = node.dict()) {
        walk(*dict, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const auto dict = PlistDict::parse({data, size})) {
        walk(*dict, 0);
        // What the stand-in writes must read back.
        if (!PlistDict::parse(sarnovelle::toBytes(dict->toXml()))) {
            __builtin_trap();
        }
    }
    return 0;
}
