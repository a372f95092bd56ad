// The bundle the build stages beside the application: the boot image is a
// UEFI application for x86-64, and Info.plist records its digest in the
// exact form the window compares with.
#include "TempDir.h"

#include "core/Plist.h"
#include "core/Sha256.h"
#include "core/ToolRunner.h"
#include "ui/Bundle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>

namespace sarnovelle {
namespace {

using test::readText;
using test::TempDir;

const std::filesystem::path stage = SARNOVELLE_STAGE_SHARE;

std::uint32_t little(const std::string& bytes, std::size_t at, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    }
    return value;
}

TEST(StagedBundle, ImageIsAnEfiApplicationForX64)
{
    const std::string image = readText(stage / "BOOTX64.EFI");
    ASSERT_GT(image.size(), 0x200U);
    EXPECT_EQ(image.substr(0, 2), "MZ");
    const std::size_t pe = little(image, 0x3C, 4);
    EXPECT_EQ(image.substr(pe, 4), std::string("PE\0\0", 4));
    EXPECT_EQ(little(image, pe + 4, 2), 0x8664U) << "machine: x86-64";
    const std::size_t optional = pe + 24;
    EXPECT_EQ(little(image, optional, 2), 0x20BU) << "PE32+";
    EXPECT_EQ(little(image, optional + 68, 2), 10U) << "subsystem: EFI application";
}

TEST(StagedBundle, InfoPlistRecordsTheImagesDigestInUpperCase)
{
    const std::string info = readText(stage / "Info.plist");
    const auto dict = PlistDict::parse(toBytes(info));
    ASSERT_TRUE(dict);
    const auto recorded = dict->text("SarnovelleImageSHA256");
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->size(), 64U);
    EXPECT_TRUE(std::all_of(recorded->begin(), recorded->end(),
                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }))
        << *recorded;
    EXPECT_EQ(*recorded, sha256Hex(toBytes(readText(stage / "BOOTX64.EFI"))));
    EXPECT_TRUE(verifyImage(Bundle::inFolder(stage)).imageOk);
}

// The same script serves a packager's own image (SARNOVELLE_BOOT_IMAGE).
TEST(InfoPlistScript, WritesTheDigestOfAnyImage)
{
    TempDir dir;
    const auto image = dir.write("other.efi", "another image\n");
    const auto output = dir / "Info.plist";
    const ToolResult result = runTool(SARNOVELLE_CMAKE_COMMAND,
                                      {"-DIMAGE=" + image.string(), "-DTEMPLATE=" SARNOVELLE_INFO_TEMPLATE,
                                       "-DOUTPUT=" + output.string(), "-DVERSION=9.8.7", "-DEXECUTABLE=x",
                                       "-P", SARNOVELLE_INFO_SCRIPT});
    ASSERT_EQ(result.status, 0) << result.text();
    const auto dict = PlistDict::parse(toBytes(readText(output)));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->text("SarnovelleImageSHA256"), sha256Hex(toBytes("another image\n")));
    EXPECT_EQ(dict->text("CFBundleShortVersionString"), "9.8.7");

    const ToolResult missing = runTool(SARNOVELLE_CMAKE_COMMAND,
                                       {"-DIMAGE=" + (dir / "none.efi").string(),
                                        "-DTEMPLATE=" SARNOVELLE_INFO_TEMPLATE, "-DOUTPUT=" + output.string(),
                                        "-DVERSION=1", "-DEXECUTABLE=x", "-P", SARNOVELLE_INFO_SCRIPT});
    EXPECT_NE(missing.status, 0) << "no Info.plist for a missing image";
}

} // namespace
} // namespace sarnovelle
