#include "TempDir.h"

#include "core/ToolRunner.h"
#include "disks/DiskName.h"
#include "disks/UsbDisks.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sarnovelle::test {
namespace {

TEST(UsbDiskLabel, ShowsGigabytesWithOneDecimal)
{
    EXPECT_EQ((UsbDisk{"disk4", "SanDisk Ultra", 8'000'000'000, "A1B2"}).label(),
              "disk4: SanDisk Ultra  8.0 GB  (serial A1B2)");
    EXPECT_EQ((UsbDisk{"disk4", "X", 17'179'869'184, "S"}).label(), "disk4: X  17.2 GB  (serial S)");
    // printf rounding of the nearest double: 1.25 rounds to even, 1.35 is
    // just above and rounds up, 1.15 just below and rounds down.
    EXPECT_EQ((UsbDisk{"d", "", 1'250'000'000, ""}).label(), "d:   1.2 GB  (serial )");
    EXPECT_EQ((UsbDisk{"d", "", 1'350'000'000, ""}).label(), "d:   1.4 GB  (serial )");
    EXPECT_EQ((UsbDisk{"d", "", 1'150'000'000, ""}).label(), "d:   1.1 GB  (serial )");
    EXPECT_EQ((UsbDisk{"d", "", 2'000'398'934'016, ""}).label(), "d:   2000.4 GB  (serial )");
    EXPECT_EQ((UsbDisk{"d", "", 18'446'744'073'709'551'615ULL, ""}).label(),
              "d:   18446744073.7 GB  (serial )");
}

// Generates a German locale into a temporary folder (no root needed) and
// makes it the process's locale, for the duration of the object.
class GermanLocale {
public:
    explicit GermanLocale(const TempDir& dir)
    {
        const std::string target = (dir / "de_DE.UTF-8").string();
        const ToolResult made = runTool("/usr/bin/localedef", {"-i", "de_DE", "-f", "UTF-8", target});
        if (made.status != 0) {
            reason_ = "localedef could not build de_DE.UTF-8: " + made.text();
            return;
        }
        ::setenv("LOCPATH", dir.path().c_str(), 1);
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
            reason_ = "the generated de_DE.UTF-8 locale does not load";
        }
    }
    ~GermanLocale()
    {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
    }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;

    const std::string& unavailable() const { return reason_; }

private:
    std::string reason_;
};

TEST(UsbDiskLabel, UsesAPointUnderAGermanLocale)
{
    TempDir dir;
    GermanLocale german(dir);
    if (!german.unavailable().empty()) {
        GTEST_SKIP() << german.unavailable();
    }
    // The locale is really in effect: printf writes a decimal comma.
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", 17.179869184);
    ASSERT_STREQ(buffer, "17,2");

    EXPECT_EQ((UsbDisk{"disk4", "Stick", 17'179'869'184, "S1"}).label(), "disk4: Stick  17.2 GB  (serial S1)");
    EXPECT_EQ((UsbDisk{"disk4", "Stick", 8'000'000'000, ""}).label(), "disk4: Stick  8.0 GB  (serial )");
}

} // namespace
} // namespace sarnovelle::test

namespace sarnovelle::test {
namespace {

// The partition the run waits for, remounts and names in the log is the
// one the platform's own tools show.
TEST(FirstPartitionId, FollowsThePlatformsNamingRule)
{
#ifdef __APPLE__
    const std::vector<std::pair<std::string, std::string>> names{{"disk4", "disk4s1"}, {"disk12", "disk12s1"}};
#else
    const std::vector<std::pair<std::string, std::string>> names{
        {"sdb", "sdb1"}, {"sdaa", "sdaa1"}, {"nvme0n1", "nvme0n1p1"}, {"mmcblk0", "mmcblk0p1"}, {"disk4", "disk4p1"}};
#endif
    for (const auto& [disk, partition] : names) {
        EXPECT_EQ(firstPartitionId(disk), partition) << disk;
    }
}

} // namespace
} // namespace sarnovelle::test
