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

    // Each id with the disk's id when it may be checked, else the refusal.
    for (const auto& [id, expected] : std::vector<std::pair<std::string, std::string>>{
             {"disk4", "disk4"}, {"disk5", "disk5"}, {"disk0", "left out: system disk"},
             {"disk6", "left out: internal"}, {"disk9", "no such USB disk"}}) {
        const auto found = checkableDisk(survey, id, fake.env());
        const auto* disk = std::get_if<UsbDisk>(&found);
        EXPECT_EQ(disk != nullptr ? disk->id : std::get<std::string>(found), expected) << id;
    }
    EXPECT_EQ(std::get<UsbDisk>(checkableDisk(survey, "disk4", fake.env())).serial, "4C530001");
}

} // namespace
} // namespace sarnovelle
