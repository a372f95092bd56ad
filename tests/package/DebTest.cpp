// The Debian package built by scripts/package.sh, taken apart: its control
// fields, its file list with owners and modes, lintian's verdict, and the
// shipped desktop entry, metainfo and bundle checked by the tools and the
// rules the desktop and the application apply.
#include "Processes.h"
#include "TempDir.h"

#include "core/Plist.h"
#include "core/Sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

const fs::path deb = DEB_FILE;
const std::string app = SARNOVELLE_APP_NAME;

std::string field(const std::string& name)
{
    const ToolResult result = runProgram("dpkg-deb", {"-f", deb.string(), name});
    std::string text = result.text();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return result.status == 0 ? text : "";
}

// The package names of a Depends field, versions and alternatives dropped.
std::vector<std::string> dependencyNames(const std::string& depends)
{
    std::vector<std::string> names;
    std::istringstream in(depends);
    std::string item;
    while (std::getline(in, item, ',')) {
        std::istringstream words(item);
        std::string name;
        words >> name;
        names.push_back(name);
    }
    return names;
}

// "path" -> "mode owner/group" for every entry of `dpkg-deb -c`.
std::map<std::string, std::string> contents()
{
    const ToolResult result = runProgram("dpkg-deb", {"-c", deb.string()});
    std::map<std::string, std::string> entries;
    std::istringstream lines(result.text());
    std::string mode, owner, size, date, time, path;
    while (lines >> mode >> owner >> size >> date >> time >> path) {
        entries[path] = mode + " " + owner;
    }
    return entries;
}

class DebPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(fs::is_regular_file(deb)) << deb << " was not built";
    }
};

TEST_F(DebPackage, ControlFieldsNameTheProgramAndOnlyWhatItUses)
{
    EXPECT_EQ(field("Package"), app);
    EXPECT_EQ(field("Version"), SARNOVELLE_VERSION);
    EXPECT_EQ(field("Architecture"), DEB_ARCH);
    EXPECT_GT(std::stol("0" + field("Installed-Size")), 0);

    const auto names = dependencyNames(field("Depends"));
    const auto has = [&](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    EXPECT_TRUE(has("udisks2"));
    EXPECT_TRUE(has("dosfstools"));
    EXPECT_TRUE(has("libc6"));
    EXPECT_TRUE(has("libqt6widgets6"));
    // Besides the two services, only shared libraries the binaries link.
    for (const auto& name : names) {
        EXPECT_TRUE(name == "udisks2" || name == "dosfstools" || name.rfind("lib", 0) == 0) << name;
    }
    EXPECT_EQ(field("Recommends"), "");
}

TEST_F(DebPackage, ShipsExactlyTheProgramItsHelperBundleAndDesktopFiles)
{
    const std::map<std::string, std::string> expected = {
        {"./usr/bin/" + app, "-rwxr-xr-x root/root"},
        {"./usr/libexec/" + app + "/diskutil", "-rwxr-xr-x root/root"},
        {"./usr/lib/" + std::string(DEB_MULTIARCH) + "/" + app + "/udisks-backend.so", "-rw-r--r-- root/root"},
        {"./usr/share/" + app + "/BOOTX64.EFI", "-rw-r--r-- root/root"},
        {"./usr/share/" + app + "/Info.plist", "-rw-r--r-- root/root"},
        {"./usr/share/applications/" + app + ".desktop", "-rw-r--r-- root/root"},
        {"./usr/share/icons/hicolor/scalable/apps/" + app + ".svg", "-rw-r--r-- root/root"},
        {"./usr/share/metainfo/com.tessamir.sarnovelle_usb_maker.metainfo.xml", "-rw-r--r-- root/root"},
        {"./usr/share/man/man1/" + app + ".1.gz", "-rw-r--r-- root/root"},
        {"./usr/share/doc/" + app + "/copyright", "-rw-r--r-- root/root"},
        {"./usr/share/doc/" + app + "/changelog.gz", "-rw-r--r-- root/root"},
    };
    std::map<std::string, std::string> files;
    for (const auto& [path, mode] : contents()) {
        if (path.back() != '/') {
            files[path] = mode;
        }
    }
    EXPECT_EQ(files, expected);
}

TEST_F(DebPackage, LintianReportsNoErrorsOrWarnings)
{
    const ToolResult result = runProgram("lintian", {"--fail-on", "error,warning", deb.string()});
    EXPECT_EQ(result.status, 0) << result.text();
}

class Unpacked : public DebPackage {
protected:
    void SetUp() override
    {
        const ToolResult result = runProgram("dpkg-deb", {"-x", deb.string(), root.path().string()});
        ASSERT_EQ(result.status, 0) << result.text();
    }
    fs::path share() const { return root / "usr/share"; }
    TempDir root;
};

TEST_F(Unpacked, DesktopEntryAndMetainfoValidate)
{
    const auto desktop = share() / "applications" / (app + ".desktop");
    const auto metainfo = share() / "metainfo/com.tessamir.sarnovelle_usb_maker.metainfo.xml";
    const ToolResult entry = runProgram("desktop-file-validate", {desktop.string()});
    EXPECT_EQ(entry.status, 0) << entry.text();
    EXPECT_EQ(entry.text(), "") << "hints or warnings";
    const ToolResult info = runProgram("appstreamcli", {"validate", "--no-net", "--pedantic", metainfo.string()});
    EXPECT_EQ(info.status, 0) << info.text();
    EXPECT_EQ(info.text().find("W:"), std::string::npos) << info.text();

    const std::string text = readText(metainfo);
    // The metainfo launches this desktop entry and names this release.
    EXPECT_NE(text.find("<launchable type=\"desktop-id\">" + app + ".desktop</launchable>"), std::string::npos);
    EXPECT_NE(text.find("<release version=\"" SARNOVELLE_VERSION "\""), std::string::npos);
    EXPECT_NE(text.find("<caption>"), std::string::npos);
    EXPECT_NE(readText(desktop).find("\nExec=" + app + "\n"), std::string::npos);
}

TEST_F(Unpacked, BundlePassesTheApplicationsImageCheck)
{
    const std::string image = readText(share() / app / "BOOTX64.EFI");
    const std::string info = readText(share() / app / "Info.plist");
    ASSERT_FALSE(image.empty());
    const auto dict = PlistDict::parse(toBytes(info));
    ASSERT_TRUE(dict.has_value());
    EXPECT_EQ(dict->text("SarnovelleImageSHA256").value_or(""), sha256Hex(toBytes(image)));
    // A PE32+ image, "MZ" first.
    EXPECT_EQ(image.substr(0, 2), "MZ");
}

TEST_F(Unpacked, CopyrightIsMachineReadable)
{
    const std::string copyright = readText(share() / "doc" / app / "copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0), 0U);
    EXPECT_NE(copyright.find("\nFiles: *\n"), std::string::npos);
}

} // namespace
} // namespace sarnovelle::test
