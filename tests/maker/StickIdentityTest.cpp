// The run works on the stick that was listed and on no other: a stick
// pulled or replaced under the same name at any step ends the run before
// the next change, and a second run on the same stick is refused before
// anything is touched.

#include "MakeUsbScenario.h"

#include "core/MakerError.h"
#include "maker/MakeUsb.h"
#include "maker/StickLock.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

class StickIdentity : public MakeUsbScenario {
protected:
    StickIdentity()
    {
        setSequence("41");
        chosen.sequence = 41;
    }

    void setSequence(const std::string& value) const
    {
        std::ofstream(fake.sysfsRoot() / "class/block/disk4/diskseq", std::ios::trunc) << value << "\n";
    }

    bool ran(const std::string& verb) const
    {
        const auto runs = fake.invocations();
        return std::any_of(runs.begin(), runs.end(), [&](const Arguments& run) { return run.front() == verb; });
    }
};

TEST_F(StickIdentity, AStickReplacedAtAnyStepEndsTheRunBeforeTheNextChange)
{
    struct Step {
        std::string line;      // the moment the stick is replaced: when this line is logged
        std::string notRun;    // the disk utility verb that must not run afterwards
        bool pulled = false;   // pulled (no disk of that name) rather than replaced
    };
    const std::vector<Step> steps{
        {"Erasing disk4 and creating FAT32 partition SARNOVELLE", "partitionDisk"},
        {"Writing ", "unmount"},
        {"Remounting disk4p1 to read back from the disk", "unmount"},
        {"  diskutil: Volume SARNOVELLE on disk4p1 unmounted", "mount", true},
        {"  diskutil: Volume SARNOVELLE on disk4p1 mounted", "eject"},
        {"Read back SHA-256 ", "eject", true},
    };
    const std::string replaced
        = "The USB disk disk4 was pulled, replaced or attached again during the run; nothing more is done to any disk.";
    for (const Step& step : steps) {
        SCOPED_TRACE(step.line);
        setSequence("41");
        fake.simulateStick({.disk = "disk4"});
        fake.clearInvocations();
        lines.clear();
        std::string message = "(no error)";
        try {
            makeUsb(chosen, image, imageHash,
                    [&](const std::string& line) {
                        lines.push_back(line);
                        if (line.starts_with(step.line)) {
                            if (step.pulled) {
                                fs::remove(fake.sysfsRoot() / "class/block/disk4/diskseq");
                            } else {
                                setSequence("42");
                            }
                        }
                    },
                    env);
        } catch (const MakerError& error) {
            message = error.message();
        }
        // Pulled after the read-back, the stick holds the verified image:
        // done, but nothing is ejected.
        const bool verified = step.line.starts_with("Read back");
        EXPECT_EQ(message, verified ? "(no error)" : replaced);
        EXPECT_FALSE(ran(step.notRun)) << step.notRun << " ran on the other stick";
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) { return line.starts_with("Read back"); }),
                  verified ? 1 : 0);
        // No eject was tried, so none failed.
        if (verified) {
            EXPECT_EQ(lines.back(), "The USB disk disk4 was pulled before it was ejected; it is ready.");
        }
    }
}

TEST_F(StickIdentity, ASecondRunOnTheSameStickIsRefusedBeforeAnythingIsTouched)
{
    {
        const StickLock first(chosen, env);
        EXPECT_EQ(failure(), "Another run is preparing disk4; this one stops before touching it.");
        EXPECT_TRUE(fake.invocations().empty());
        EXPECT_TRUE(lines.empty());
    }
    // The lock goes with the run that held it.
    run();
    EXPECT_EQ(lines.back(), "  diskutil: Disk /dev/disk4 ejected");
}

} // namespace
} // namespace sarnovelle::test
