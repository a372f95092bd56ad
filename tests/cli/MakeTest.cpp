// --make through the real program and the fake disk utility: the checks
// before anything is erased, the runs, their lines and the closing table.
#include "CliHarness.h"

#include "core/Sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

const std::string doneLine = "DONE. The USB is ready. You can remove it.";

bool isStamp(std::string_view text)
{
    return text.size() == 8 && text[2] == ':' && text[5] == ':'
           && std::all_of(text.begin(), text.end(),
                          [](char c) { return c == ':' || std::isdigit(static_cast<unsigned char>(c)); });
}

// The lines of one disk's run without "<id>: HH:mm:ss  "; a line of that
// disk without a proper stamp fails the test.
std::vector<std::string> runLines(const std::string& out, const std::string& id)
{
    std::vector<std::string> lines;
    const std::string prefix = id + ": ";
    for (const std::string& line : linesOf(out)) {
        if (!line.starts_with(prefix)) {
            continue;
        }
        const std::string rest = line.substr(prefix.size());
        EXPECT_TRUE(rest.size() >= 10 && isStamp(rest.substr(0, 8)) && rest.substr(8, 2) == "  ") << line;
        lines.push_back(rest.size() >= 10 ? rest.substr(10) : rest);
    }
    return lines;
}

// The closing table's line of a disk, "" when there is none.
std::string tableLine(const std::string& out, const std::string& id)
{
    const auto lines = linesOf(out);
    const auto header = std::find_if(lines.begin(), lines.end(),
                                     [](const std::string& line) { return line.starts_with("Disk   Outcome  Time"); });
    for (auto line = header; line != lines.end(); ++line) {
        if (line->starts_with(id + "  ")) {
            return *line;
        }
    }
    return "";
}

std::string imageDigest(const CliTree& tree)
{
    std::ifstream in(tree.share() / "BOOTX64.EFI", std::ios::binary);
    const Bytes image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return sha256Hex(image);
}

TEST(CliMake, PreparesTheStickWithTheWindowsRunAndStampedLines)
{
    CliTree tree;
    twoSticks(tree.fake());
    const std::string digest = imageDigest(tree);

    const CliResult result = tree.run({"--make", "disk4", "--yes"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    const auto imageSize = fs::file_size(tree.share() / "BOOTX64.EFI");
    EXPECT_EQ(linesOf(result.out).front(),
              "Image: product image, " + std::to_string(imageSize) + " bytes, SHA-256 " + digest);
    const auto lines = runLines(result.out, "disk4");
    ASSERT_GE(lines.size(), 5u) << result.out;
    EXPECT_EQ(lines.front(), "Erasing disk4 and creating FAT32 partition SARNOVELLE");
    EXPECT_EQ(lines[1], "  diskutil: Started partitioning on disk4");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Read back SHA-256 " + digest), lines.end()) << result.out;
    EXPECT_EQ(lines.back(), doneLine);
    EXPECT_TRUE(tableLine(result.out, "disk4").starts_with("disk4  DONE     ")) << result.out;

    // The stick got the image, and only the chosen disk was touched.
    EXPECT_EQ(readText(tree.scenario() / "volumes" / ".unmounted" / "EFI" / "BOOT" / "BOOTX64.EFI"),
              readText(tree.share() / "BOOTX64.EFI"));
    EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), 1);
    for (const std::string& run : tree.invocations()) {
        EXPECT_FALSE(contains(run, "disk3") && !run.starts_with("info -plist")) << run;
    }
}

TEST(CliMake, AStickThatCouldNotBeEjectedIsDoneButSaysSo)
{
    struct Case {
        int ejectStatus;
        std::vector<std::string> end; // the run's last lines
        std::string message;          // the table's message, after the time
    };
    const std::string notEjected = "eject it in the file manager before removing it.";
    const std::vector<Case> cases = {
        {0, {"  diskutil: Disk /dev/disk4 ejected", doneLine}, ""},
        {1,
         {"  diskutil: Unable to eject /dev/disk4: resource busy",
          "Eject failed. Eject the USB in the file manager before removing it.",
          "DONE. The USB is ready but was not ejected: " + notEjected},
         "Not ejected: " + notEjected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ejectStatus);
        CliTree tree;
        twoSticks(tree.fake());
        tree.fake().simulateStick({.disk = "disk4", .ejectStatus = c.ejectStatus});

        const CliResult result = tree.run({"--make", "disk4", "--yes"});
        EXPECT_EQ(result.status, 0) << result.out << result.err;
        EXPECT_EQ(result.err, "");
        const auto lines = runLines(result.out, "disk4");
        ASSERT_GE(lines.size(), c.end.size()) << result.out;
        EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(c.end.size()), lines.end()), c.end)
            << result.out;
        const std::string table = tableLine(result.out, "disk4");
        EXPECT_TRUE(table.starts_with("disk4  DONE     ")) << result.out;
        std::string message = table.substr(std::min(table.size(), table.find(" s") + 2));
        message.erase(0, message.find_first_not_of(' '));
        EXPECT_EQ(message, c.message) << table;
        EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), 1);
    }
}

TEST(CliMake, TwoDisksRunAtTheSameTimeAndTheTableSaysWhichFailed)
{
    CliTree tree;
    twoSticks(tree.fake());
    tree.fake().answer({"partitionDisk", "/dev/disk3", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space",
                        "none", "R"},
                       FakeAnswer{"Error: the disk is write-protected\n", 1});
    // disk3's partitioning waits until disk4's run has ended: one after the
    // other, the two runs could never both end.
    tree.gate("if [ \"$1 $2\" = \"partitionDisk /dev/disk3\" ]; then\n"
              "  while [ ! -e \"$dir/release\" ]; do sleep 0.05; done\n"
              "fi");

    auto process = tree.start({"--make", "disk3", "disk4", "--yes"});
    const bool disk4Done = process->readUntil(
        [](const std::string& out, const std::string&) {
            const auto lines = runLines(out, "disk4");
            return !lines.empty() && lines.back() == doneLine;
        },
        std::chrono::seconds(60));
    std::ofstream(tree.scenario() / "release").put('\n');
    const CliResult result = process->finish();
    ASSERT_TRUE(disk4Done) << "disk4 did not end while disk3 was partitioning:\n" << result.out << result.err;

    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(runLines(result.out, "disk3"),
              (std::vector<std::string>{
                  "Erasing disk3 and creating FAT32 partition SARNOVELLE",
                  "  diskutil: Error: the disk is write-protected",
                  "FAILED: diskutil partitionDisk failed (exit 1). See the diskutil lines above.",
              }));
    EXPECT_EQ(runLines(result.out, "disk4").back(), doneLine);
    const std::string failed = tableLine(result.out, "disk3");
    EXPECT_TRUE(failed.starts_with("disk3  FAILED   ")) << result.out;
    EXPECT_TRUE(failed.ends_with("  diskutil partitionDisk failed (exit 1). See the diskutil lines above.")) << failed;
    EXPECT_TRUE(tableLine(result.out, "disk4").starts_with("disk4  DONE     ")) << result.out;
}

TEST(CliMake, UnknownOrLeftOutIdsAndMissingConsentTouchNothing)
{
    CliTree tree;
    twoSticks(tree.fake());

    CliResult result = tree.run({"--make", "disk4", "disk9", "disk0", "--yes"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(linesOf(result.err), (std::vector<std::string>{"disk9: not offered, no such USB disk. See --list.",
                                                             "disk0: not offered, left out: system disk. See --list.",
                                                             "Nothing was erased."}));

    // Standard input is /dev/null: no terminal to type the id on.
    result = tree.run({"--make", "disk4"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err,
              "Refusing to erase without --yes: there is no terminal to confirm on. Nothing was erased.\n");
    EXPECT_FALSE(anyPartitioning(tree));
    EXPECT_EQ(tree.countInvocations("eject /dev/disk4"), 0);
}

TEST(CliMake, AnImageThatDoesNotMatchItsDigestMakesNothing)
{
    CliTree tree;
    twoSticks(tree.fake());
    const std::string wrong(64, 'A');
    std::ofstream(tree.share() / "Info.plist", std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>SarnovelleImageSHA256</key><string>" << wrong << "</string></dict></plist>\n";

    const CliResult result = tree.run({"--make", "disk4", "--yes"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "The embedded image does not match this app's expected SHA-256. Making a USB is disabled.\n");
    EXPECT_EQ(result.out, "Image: product image, " + std::to_string(fs::file_size(tree.share() / "BOOTX64.EFI"))
                              + " bytes, SHA-256 " + imageDigest(tree) + "\n");
    EXPECT_TRUE(tree.invocations().empty());
}

TEST(CliMake, WrongUsageIsRefusedAndHelpAndVersionAnswer)
{
    CliTree tree;
    twoSticks(tree.fake());
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"--make"}, "--make needs at least one disk id (see --list)."},
        {{"--make", "disk4", "disk4", "--yes"}, "The disk disk4 is named twice."},
        {{"--make", "disk4", "--json"}, "--json goes with --list or --check."},
        {{"--list", "--yes"}, "--yes goes with --make."},
        {{"--list", "--make", "disk4"}, "Give one of --list, --make and --check."},
        {{"--check"}, "--check needs at least one disk id (see --list)."},
        {{"--check", "disk4", "--yes"}, "--yes goes with --make."},
        {{"--list", "--force"}, "Unknown option --force."},
        {{"--yes"}, "Give --list, --make or --check."},
    };
    for (const auto& [arguments, message] : wrong) {
        const CliResult result = tree.run(arguments);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_EQ(result.err, message + "\nTry sarnovelle-usb-maker --help.\n");
    }
    EXPECT_TRUE(tree.invocations().empty());

    const CliResult help = tree.run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: sarnovelle-usb-maker [--list [--json] | --make ID [ID...] [--yes]"));
    const CliResult version = tree.run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "sarnovelle-usb-maker " SARNOVELLE_VERSION "\n");
}

TEST(CliMake, WithoutItsOptionsTheProgramOpensTheWindowAsBefore)
{
    CliTree tree;
    twoSticks(tree.fake());
    // Qt's own options are no command line; offscreen needs no display.
    auto window = tree.start({"-platform", "offscreen"});
    window->readUntil([](const std::string&, const std::string&) { return false; }, std::chrono::seconds(3));
    EXPECT_TRUE(window->running()) << window->out() << window->err();
    EXPECT_EQ(window->out(), "");
    // The window lists the disks when it opens; nothing is erased.
    EXPECT_GE(tree.countInvocations("list -plist external physical"), 1);
    EXPECT_FALSE(anyPartitioning(tree));
}

} // namespace
} // namespace sarnovelle::test
