#include "linux/diskutil/devices/Probe.h"

#include "core/MakerError.h"
#include "linux/diskutil/devices/Files.h"

#include <blkid/blkid.h>

#include <cerrno>
#include <memory>

namespace sarnovelle::standin {

namespace {

struct ProbeFree {
    void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
using ProbePtr = std::unique_ptr<blkid_struct_probe, ProbeFree>;

std::string lookup(blkid_probe probe, const char* key)
{
    const char* value = nullptr;
    std::size_t length = 0;
    if (blkid_probe_lookup_value(probe, key, &value, &length) != 0 || value == nullptr) {
        return {};
    }
    std::string text(value, length);
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

} // namespace

FilesystemProbe probeFilesystem(const std::filesystem::path& node, const std::string& expected)
{
    FilesystemProbe result;
    ProbePtr probe(blkid_new_probe_from_filename(node.c_str()));
    if (!probe) {
        return result;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    blkid_probe_enable_partitions(probe.get(), 0);
    if (!expected.empty()) {
        char* only[] = {const_cast<char*>(expected.c_str()), nullptr};
        if (blkid_probe_filter_superblocks_type(probe.get(), BLKID_FLTR_ONLYIN, only) == 0
            && blkid_do_probe(probe.get()) == 0) {
            result.type = lookup(probe.get(), "TYPE");
            result.label = lookup(probe.get(), "LABEL");
            return result;
        }
        blkid_probe_reset_superblocks_filter(probe.get());
        blkid_reset_probe(probe.get());
    }
    // Safe probing: two different signatures give no answer rather than a
    // guess.
    if (blkid_do_safeprobe(probe.get()) == 0) {
        result.type = lookup(probe.get(), "TYPE");
        result.label = lookup(probe.get(), "LABEL");
    }
    return result;
}

void wipeSignatures(int fd, const std::string& name)
{
    ProbePtr probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0) {
        throw MakerError("Could not examine " + name + " for old signatures.");
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_MAGIC | BLKID_SUBLKS_BADCSUM);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_MAGIC | BLKID_PARTS_FORCE_GPT);
    // Each wipe moves the probe on to the next signature.
    for (int round = 0; round < 64; ++round) {
        const int found = blkid_do_probe(probe.get());
        if (found == 1) {
            return;
        }
        if (found != 0) {
            throw MakerError("Could not examine " + name + " for old signatures.");
        }
        errno = 0;
        if (blkid_do_wipe(probe.get(), 0) != 0) {
            throw MakerError("Could not erase the old signatures on " + name + ": "
                             + errorText(errno != 0 ? errno : EIO));
        }
    }
    throw MakerError("Could not erase the old signatures on " + name + ".");
}

std::string filesystemName(const std::string& kernelType)
{
    if (kernelType == "vfat" || kernelType == "msdos" || kernelType == "fat") {
        return "msdos";
    }
    return kernelType;
}

} // namespace sarnovelle::standin
