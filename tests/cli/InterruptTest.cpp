// Ctrl+C during the runs, sent to the whole process group as a terminal
// sends it, and a hangup (the terminal closed, the ssh connection dropped),
// sent to the group as the shell passes it on: a run that has begun erasing
// goes on to its end, one that has not stops before it erases, and the
// program exits with 128 + the signal. After a hangup nobody reads the
// output any more; the runs end all the same.
#include "CliHarness.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <map>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

TEST(CliInterrupt, RunsPastTheEraseFinishTheOthersStopBeforeIt)
{
    struct Case {
        const char* what;
        int signal;
        bool hangUp; // the output goes nowhere after the first signal
    };
    const std::vector<Case> cases = {{"Ctrl+C", SIGINT, false}, {"hangup", SIGHUP, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CliTree tree;
        twoSticks(tree.fake());
        // Both runs begin with the same re-check, so which run gets ahead is
        // up to the threads: the first re-check's listing passes and its run
        // is held in partitionDisk, after the erase began; the other's
        // listing is held, before its erase. The program's own listing
        // passes.
        tree.gate("hold() { touch \"$dir/$1\"; while [ ! -e \"$dir/release\" ]; do sleep 0.05; done; }\n"
                  "case \"$1\" in\n"
                  "list)\n"
                  "  if grep -q '^list' \"$dir/invocations.log\" 2>/dev/null && ! mkdir \"$dir/ahead\" 2>/dev/null; "
                  "then\n"
                  "    hold held-listing\n"
                  "  fi;;\n"
                  "partitionDisk) hold held-erasing;;\n"
                  "esac");

        auto process = tree.start({"--make", "disk3", "disk4", "--yes"});
        const auto held = [&] {
            return fs::exists(tree.scenario() / "held-listing") && fs::exists(tree.scenario() / "held-erasing");
        };
        ASSERT_TRUE(process->readUntil([&](const std::string&, const std::string&) { return held(); },
                                       std::chrono::seconds(60)))
            << process->out() << process->err();

        ASSERT_EQ(::kill(-process->pid(), c.signal), 0);
        ASSERT_TRUE(process->readUntil(
            [](const std::string&, const std::string& err) { return contains(err, "Interrupted: the runs"); },
            std::chrono::seconds(30)))
            << process->out() << process->err();
        if (c.hangUp) {
            process->closeOutput();
        }
        // A second signal does not cut the run short either.
        ASSERT_EQ(::kill(-process->pid(), c.signal), 0);
        if (!c.hangUp) {
            ASSERT_TRUE(process->readUntil(
                [](const std::string&, const std::string& err) { return contains(err, "Still finishing"); },
                std::chrono::seconds(30)));
        }
        std::ofstream(tree.scenario() / "release").put('\n');
        const CliResult result = process->finish();

        EXPECT_EQ(result.status, 128 + c.signal) << result.out << result.err;
        EXPECT_FALSE(result.killed) << "the signal ended the program";
        // The run that had begun erasing ended as it would have (disk4 is
        // the stick the fake simulates; disk3 has no answer to
        // partitionDisk); the other never erased. The disk utility ran in
        // the same process group, yet the signals cut none of its runs.
        std::vector<std::string> partitioned;
        for (const std::string& run : tree.invocations()) {
            if (run.starts_with("partitionDisk ")) {
                partitioned.push_back(run.substr(19, 5));
            }
        }
        ASSERT_EQ(partitioned.size(), 1u) << result.out;
        const std::string erased = partitioned.front();
        EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), erased == "disk4" ? 1 : 0);
        if (c.hangUp) {
            continue;
        }
        EXPECT_TRUE(contains(result.err, "Interrupted: 1 run(s) went on to their end, 1 stopped before erasing."))
            << result.err;
        const std::string stopped = erased == "disk4" ? "disk3" : "disk4";
        std::map<std::string, std::string> table;
        for (const std::string& line : linesOf(result.out)) {
            if (line.starts_with("disk3  ") || line.starts_with("disk4  ")) {
                table[line.substr(0, 5)] = line;
            }
        }
        EXPECT_TRUE(table[stopped].starts_with(stopped + "  STOPPED  ")) << result.out;
        EXPECT_TRUE(table[stopped].ends_with("  Stopped before erasing: interrupted.")) << result.out;
        EXPECT_FALSE(contains(result.out, "Erasing " + stopped)) << result.out;
        if (erased == "disk4") {
            EXPECT_TRUE(table["disk4"].starts_with("disk4  DONE     ")) << result.out;
        } else {
            EXPECT_TRUE(table["disk3"].starts_with("disk3  FAILED   ")) << result.out;
            EXPECT_TRUE(contains(table["disk3"], "diskutil partitionDisk failed (exit 1)")) << result.out;
        }
    }
}

} // namespace
} // namespace sarnovelle::test
