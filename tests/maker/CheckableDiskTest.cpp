// Which listed disks may be checked: the offered ones and those left out
// only because their medium is write-protected (a check writes nothing).
#include "FakeDiskutil.h"
#include "TempDir.h"

#include "maker/StickCheck.h"

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

TEST(CheckableDisk, OfferedAndWriteProtectedSticksOnly)
{
    test::TempDir dir;
    const test::FakeDiskutil fake(dir / "scenario");
    UsbDiskSurvey survey;
    survey.disks.push_back(UsbDisk{"disk4", "SanDisk Ultra", 16'008'609'792, "4C530001"});
    survey.leftOut = {{"disk0", "system disk"}, {"disk5", std::string(writeProtectedReason)}, {"disk6", "internal"}};

    const std::vector<std::pair<std::string, std::string>> rows = {
        {"disk4", ""}, {"disk5", ""}, {"disk0", "left out: system disk"},
        {"disk6", "left out: internal"}, {"disk9", "no such USB disk"}};
    for (const auto& [id, refusal] : rows) {
        const auto found = checkableDisk(survey, id, fake.env());
        if (refusal.empty()) {
            ASSERT_TRUE(std::holds_alternative<UsbDisk>(found)) << id;
            EXPECT_EQ(std::get<UsbDisk>(found).id, id);
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(found)) << id;
            EXPECT_EQ(std::get<std::string>(found), refusal);
        }
    }
    EXPECT_EQ(std::get<UsbDisk>(checkableDisk(survey, "disk4", fake.env())).serial, "4C530001");
}

} // namespace
} // namespace sarnovelle
