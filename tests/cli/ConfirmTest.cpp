// The typed confirmation on a real pseudo-terminal: the program shows the
// labels and erases only when the ids come back.
#include "CliHarness.h"
#include "TerminalRun.h"

#include <gtest/gtest.h>

namespace sarnovelle::test {
namespace {

TEST(CliConfirm, TypingTheIdBackErasesTheDisk)
{
    CliTree tree;
    twoSticks(tree.fake());
    TerminalRun run(tree.program(), {"--make", "disk4"});
    ASSERT_TRUE(run.readUntil("and press Return:")) << run.screen();
    // The label stands alone, as in the window's confirmation.
    EXPECT_TRUE(contains(run.screen(), "ALL data on this USB disk will be erased:\r\n\r\n  "
                                           + labelOf("disk4", "SanDisk Ultra", 16'008'609'792) + "\r\n\r\n"))
        << run.screen();
    EXPECT_TRUE(contains(run.screen(), "type the disk's id (disk4)")) << run.screen();
    EXPECT_FALSE(anyPartitioning(tree)) << "erased before the answer";

    run.type("disk4\n");
    EXPECT_EQ(run.finish(), 0) << run.screen();
    EXPECT_TRUE(contains(run.screen(), "  DONE. The USB is ready. You can remove it.")) << run.screen();
    EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), 1);
}

TEST(CliConfirm, ASecondDiskIsConfirmedOnlyByTypingBothIds)
{
    CliTree tree;
    twoSticks(tree.fake());
    // Typed answers that are not exactly the ids; each refuses.
    for (const std::string answer : {"disk3\n", "disk4\n", "disk4 disk3 disk3\n", "yes\n", "\x04"}) {
        TerminalRun run(tree.program(), {"--make", "disk4", "disk3"});
        ASSERT_TRUE(run.readUntil("and press Return:")) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "ALL data on these USB disks will be erased:")) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "  " + labelOf("disk3", "Other stick", 8'000'000'000))) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "type the disks' ids (disk4 disk3)")) << run.screen();
        run.type(answer);
        EXPECT_EQ(run.finish(), 2) << run.screen();
        EXPECT_TRUE(contains(run.screen(), "Not confirmed. Nothing was erased.")) << run.screen();
    }
    EXPECT_FALSE(anyPartitioning(tree));

    // Both ids in another order: both disks are erased.
    TerminalRun run(tree.program(), {"--make", "disk4", "disk3"});
    ASSERT_TRUE(run.readUntil("and press Return:")) << run.screen();
    run.type("disk3 disk4\n");
    EXPECT_EQ(run.finish(), 1) << run.screen(); // disk3 is no simulated stick
    const std::string arguments = " MBR MS-DOS FAT32 SARNOVELLE 2097152S Free Space none R";
    EXPECT_EQ(tree.countInvocations("partitionDisk /dev/disk4" + arguments), 1);
    EXPECT_EQ(tree.countInvocations("partitionDisk /dev/disk3" + arguments), 1);
}

} // namespace
} // namespace sarnovelle::test
