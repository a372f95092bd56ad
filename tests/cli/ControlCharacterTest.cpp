// Words from a stick or the disk utility that hold control characters, C1
// ones (CSI, OSC) among them: wherever the command line shows them, each
// control character is a '?' (in JSON an escape) and nothing reaches the
// terminal that could steer it.
#include "CliHarness.h"
#include "TerminalRun.h"

#include <gtest/gtest.h>

namespace sarnovelle::test {
namespace {

// CSI (U+009B) "31m", then ESC ] ... BEL and OSC (U+009D) ... ST (U+009C):
// a colour and two window titles.
const std::string hostile = "Evil\u009b31m\x1b]0;owned\x07 \u009d0;again\u009c Stick";
const std::string shown = "Evil?31m?]0;owned? ?0;again? Stick";
constexpr std::uint64_t size = 16'008'609'792;

// Whether `text` holds a control character other than a line end.
bool steersTheTerminal(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((c < 0x20 && c != '\n' && c != '\r') || c == 0x7f || (c == 0xc2 && next >= 0x80 && next <= 0x9f)) {
            return true;
        }
    }
    return false;
}

TEST(CliControlCharacters, AreShownAsQuestionMarksWhereverTheyAppear)
{
    CliTree tree;
    FakeDiskutil& fake = tree.fake();
    fake.listWholeDisks({"disk0", "disk3", "disk4", "disk8"});
    fake.rootVolume("disk0");
    fake.usbDisk("disk3", "Other stick", 8'000'000'000);
    fake.answer({"partitionDisk", "/dev/disk3", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space",
                 "none", "R"},
                FakeAnswer{"Error: " + hostile + "\n", 1});
    fake.usbDisk("disk4", hostile, size);
    PlistDict inUse = FakeDiskutil::usbDiskInfo("Backup", 32'000'000'000);
    inUse.setText("InUseBy", hostile);
    fake.answer({"info", "-plist", "disk8"}, inUse);

    struct Case {
        const char* where;
        std::vector<std::string> arguments;
        bool onTerminal; // up to the typed confirmation, then Ctrl+D
        int status;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"list label", {"--list"}, false, 0, "\n" + labelOf("disk4", shown, size) + "\n"},
        {"json", {"--list", "--json"}, false, 0,
         "\"name\": \"Evil\\u009b31m\\u001b]0;owned\\u0007 \\u009d0;again\\u009c Stick\""},
        {"left-out reason", {"--list"}, false, 0, "Left out disk8: in use by " + shown + "\n"},
        {"refused id", {"--make", "disk8", "--yes"}, false, 2,
         "disk8: not offered, left out: in use by " + shown + ". See --list.\n"},
        {"run line", {"--make", "disk3", "--yes"}, false, 1, "  diskutil: Error: " + shown + "\n"},
        {"confirmation", {"--make", "disk4"}, true, 2, "\r\n  " + labelOf("disk4", shown, size) + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        std::string text;
        int status = -1;
        if (c.onTerminal) {
            TerminalRun run(tree.program(), c.arguments);
            EXPECT_TRUE(run.readUntil("and press Return:")) << run.screen();
            run.type("\x04");
            status = run.finish();
            text = run.screen();
        } else {
            const CliResult result = tree.run(c.arguments);
            status = result.status;
            text = result.out + "\n" + result.err;
        }
        EXPECT_EQ(status, c.status) << text;
        EXPECT_TRUE(contains(text, c.expected)) << text;
        EXPECT_FALSE(steersTheTerminal(text)) << text;
    }
    EXPECT_FALSE(contains(readText(tree.scenario() / "invocations.log"), "/dev/disk4"));
}

} // namespace
} // namespace sarnovelle::test
