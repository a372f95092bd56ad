// How long one listing of 8 USB disks takes against the fake disk utility
// (10 child processes: the list, the root volume and 8 disks), next to 10
// bare spawns of /bin/true on the same machine, and 10 runs of the fake
// alone (what the fake itself costs). Prints medians of 20 runs.

#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TempDir.h"

#include "core/ToolRunner.h"
#include "disks/UsbDisks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace sarnovelle;
using namespace sarnovelle::test;

constexpr int rounds = 20;
constexpr int disks = 8;

double medianMilliseconds(const std::function<void()>& work)
{
    std::vector<double> times;
    work(); // warm-up: page cache, dynamic loader
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return (times[rounds / 2 - 1] + times[rounds / 2]) / 2;
}

} // namespace

int main()
{
    TempDir dir;
    FakeDiskutil fake(dir / "scenario");
    FakeSysfs sysfs(fake.sysfsRoot());
    std::vector<std::string> ids;
    for (int i = 0; i < disks; ++i) {
        const std::string id = "disk" + std::to_string(i + 2);
        ids.push_back(id);
        fake.usbDisk(id, "Stick " + std::to_string(i), 16'000'000'000ULL + static_cast<std::uint64_t>(i));
        sysfs.usbDisk(id, "SERIAL" + std::to_string(i) + "\n");
    }
    fake.listWholeDisks(ids);
    fake.rootVolume("disk0");
    const DiskEnv env = fake.env();

    if (listUsbDisks(env).size() != disks) {
        std::fprintf(stderr, "the listing did not find %d disks\n", disks);
        return 1;
    }
    const double listing = medianMilliseconds([&] {
        if (listUsbDisks(env).size() != disks) {
            throw std::runtime_error("listing changed");
        }
    });
    const double spawns = medianMilliseconds([] {
        for (int i = 0; i < 10; ++i) {
            if (runTool("/bin/true", {}).status != 0) {
                throw std::runtime_error("/bin/true failed");
            }
        }
    });
    const double fakeRuns = medianMilliseconds([&] {
        for (int i = 0; i < 10; ++i) {
            if (runTool(env.diskutil, {"info", "-plist", "disk2"}).status != 0) {
                throw std::runtime_error("the fake failed");
            }
        }
    });
    std::printf("listing of %d USB disks (10 disk utility runs), median of %d: %.2f ms\n", disks, rounds, listing);
    std::printf("10 bare spawns of /bin/true, median of %d: %.2f ms\n", rounds, spawns);
    std::printf("10 runs of the fake disk utility alone, median of %d: %.2f ms\n", rounds, fakeRuns);
    std::printf("listing / bare spawns: %.2f\n", listing / spawns);
    return 0;
}
