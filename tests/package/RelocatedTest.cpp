// A build configured with install directories none of which is the
// default: the build tree's stage/, a DESTDIR install and an install moved
// with --prefix each hold the program, its disk utility and its bundle at
// the configured places, and the program started from each tree (window and
// command line) runs that tree's disk utility and reads that tree's boot
// image and Info.plist.
#include "Processes.h"
#include "TempDir.h"

#include "core/Sha256.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path work = RELOCATED_WORK;
const std::string app = SARNOVELLE_APP_NAME;

// One tree: <root>/<bindir>, <root>/<libexecdir>/<app>, <root>/<libdir>/<app>,
// <root>/<datadir>/<app>.
struct Tree {
    fs::path root;
    fs::path program() const { return root / RELOCATED_BINDIR / app; }
    fs::path helpers() const { return root / RELOCATED_LIBEXECDIR / app; }
    fs::path modules() const { return root / RELOCATED_LIBDIR / app; }
    fs::path data() const { return root / RELOCATED_DATADIR / app; }
};

Tree staged() { return {work / "build" / "stage"}; }
Tree destdir() { return {work / "destdir" / fs::path(RELOCATED_PREFIX).relative_path()}; }
Tree moved() { return {work / "moved"}; }

bool executable(const fs::path& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR) != 0;
}

// Starts the program of `tree` without a display and returns what it ran
// or read in the two folders given, once every file of `wanted` has been
// seen or a minute has passed, and then `extra` longer.
std::set<fs::path> startAndWatch(const Tree& tree, const fs::path& helpers, const fs::path& data,
                                 const std::set<fs::path>& wanted, std::chrono::milliseconds extra = 0ms)
{
    TempDir runtime;
    ::chmod(runtime.path().c_str(), 0700);
    FolderWatch watch({helpers, data});
    RunningProgram program(tree.program(), {{"QT_QPA_PLATFORM", "offscreen"},
                                            {"XDG_RUNTIME_DIR", runtime.path().string()}});
    watch.waitFor(wanted, 60s);
    return watch.waitFor({data / "never"}, extra);
}

class RelocatedTree : public ::testing::TestWithParam<const char*> {
protected:
    Tree tree() const
    {
        const std::string name = GetParam();
        return name == "stage" ? staged() : name == "destdir" ? destdir() : moved();
    }
};

TEST_P(RelocatedTree, HoldsEachFileAtItsConfiguredPlace)
{
    const Tree t = tree();
    EXPECT_TRUE(executable(t.program())) << t.program();
    EXPECT_TRUE(executable(t.helpers() / "diskutil")) << t.helpers();
    EXPECT_TRUE(fs::is_regular_file(t.modules() / "udisks-backend.so")) << t.modules();
    EXPECT_TRUE(fs::is_regular_file(t.data() / "BOOTX64.EFI")) << t.data();
    EXPECT_TRUE(fs::is_regular_file(t.data() / "Info.plist")) << t.data();
    // Nothing at the default places, which a fixed "../libexec" or
    // "../share" would still find.
    EXPECT_FALSE(fs::exists(t.root / "libexec")) << t.root;
    EXPECT_FALSE(fs::exists(t.root / "share" / app)) << t.root;
    EXPECT_FALSE(fs::exists(t.root / "bin")) << t.root;
}

TEST_P(RelocatedTree, ProgramRunsItsDiskUtilityAndReadsItsBundle)
{
    const Tree t = tree();
    const auto seen = startAndWatch(t, t.helpers(), t.data(),
                                    {t.helpers() / "diskutil", t.data() / "BOOTX64.EFI", t.data() / "Info.plist"});
    EXPECT_EQ(seen.count(t.helpers() / "diskutil"), 1U) << "the disk utility never ran";
    EXPECT_EQ(seen.count(t.data() / "BOOTX64.EFI"), 1U) << "the boot image was never read";
    EXPECT_EQ(seen.count(t.data() / "Info.plist"), 1U) << "Info.plist was never read";
}

// The command line reaches the same files: the image check passes with the
// tree's own image, the disks are listed through the tree's own disk
// utility, and an id that names no disk ends the run before any change.
TEST_P(RelocatedTree, CommandLineChecksItsImageAndListsTheDisks)
{
    const Tree t = tree();
    const ToolResult result = runTool(t.program().string(), {"--make", "no-such-disk", "--yes"});
    const std::string text = result.text();
    EXPECT_EQ(result.status, 2) << text;
    const std::string hash = sha256Hex(toBytes(readText(t.data() / "BOOTX64.EFI")));
    EXPECT_NE(text.find(" bytes, SHA-256 " + hash + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("does not match"), std::string::npos) << text;
    EXPECT_EQ(text.find("Cannot list disks"), std::string::npos) << text;
    EXPECT_NE(text.find("no-such-disk: not offered"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Trees, RelocatedTree, ::testing::Values("stage", "destdir", "moved"),
                         [](const auto& info) { return std::string(info.param); });

// The lookup is relative to the program's own folder: a copy of the
// installed tree whose data folder went elsewhere reads nothing there,
// although it still runs its disk utility. The window loads the image
// before it first lists the disks; a few seconds more cover any order.
TEST(RelocatedCopy, ProgramDoesNotFindDataMovedAwayFromIt)
{
    TempDir copy;
    fs::copy(moved().root, copy.path(), fs::copy_options::recursive);
    const Tree t{copy.path()};
    const fs::path elsewhere = copy / "elsewhere";
    fs::rename(copy / RELOCATED_DATADIR, elsewhere);

    const auto seen = startAndWatch(t, t.helpers(), elsewhere / app, {t.helpers() / "diskutil"}, 3s);
    EXPECT_EQ(seen.count(t.helpers() / "diskutil"), 1U) << "the disk utility never ran";
    EXPECT_EQ(seen.count(elsewhere / app / "BOOTX64.EFI"), 0U);
    EXPECT_EQ(seen.count(elsewhere / app / "Info.plist"), 0U);

    // And the command line says so rather than erase with no image.
    const ToolResult result = runTool(t.program().string(), {"--make", "no-such-disk", "--yes"});
    EXPECT_EQ(result.status, 1) << result.text();
    EXPECT_NE(result.text().find("does not match this app's expected SHA-256"), std::string::npos) << result.text();
}

} // namespace
} // namespace sarnovelle::test
