#include "core/Config.h"
#include "core/MakerError.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sarnovelle {
namespace {

std::vector<std::string> noticeLines()
{
    std::vector<std::string> lines;
    std::string current;
    for (const char c : Config::notice) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    EXPECT_TRUE(current.empty()) << "notice must end with a line feed";
    return lines;
}

TEST(Config, NoticeHasTheShapeOfTheAboutCredits)
{
    ASSERT_FALSE(Config::notice.empty());
    EXPECT_EQ(Config::notice.back(), '\n');
    const auto lines = noticeLines();
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[0], Config::volumeLabel);
    EXPECT_NE(lines[1].find("Tessamir"), std::string::npos);
    EXPECT_NE(lines[2].find(".example"), std::string::npos);
    EXPECT_TRUE(lines[3].empty());
    EXPECT_TRUE(lines[8].empty());
    for (const int i : {4, 5, 6, 7, 9, 10, 11, 12}) {
        EXPECT_FALSE(lines[i].empty()) << "line " << i + 1;
    }
    for (const auto& line : lines) {
        EXPECT_LE(line.size(), 71u) << line;
    }
}

TEST(Config, Constants)
{
    EXPECT_EQ(Config::title, "Tessamir Sarnovelle USB Maker");
    EXPECT_EQ(Config::partitionMiB, 1024u);
    EXPECT_EQ(Config::volumeLabel, "SARNOVELLE");
}

TEST(Config, DiskutilIsTheStandInBesideTheExecutable)
{
#ifdef __APPLE__
    EXPECT_EQ(Config::diskutil(), "/usr/sbin/diskutil");
#else
    const std::string& path = Config::diskutil();
    EXPECT_TRUE(path.ends_with("/libexec/sarnovelle-usb-maker/diskutil")) << path;
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path.find("/../"), std::string::npos) << path;
#endif
}

TEST(MakerError, ShowsExactlyItsMessage)
{
    const MakerError error("diskutil list failed.");
    EXPECT_EQ(error.message(), "diskutil list failed.");
    EXPECT_STREQ(error.what(), "diskutil list failed.");
    try {
        throw error;
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "diskutil list failed.");
    }
}

} // namespace
} // namespace sarnovelle
