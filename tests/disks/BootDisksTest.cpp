#include "FakeDiskutil.h"
#include "TempDir.h"

#include "core/MakerError.h"
#include "disks/BootDisks.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace sarnovelle::test {
namespace {

const Arguments rootQuery{"info", "-plist", "/"};

class BootDisksTest : public ::testing::Test {
protected:
    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
};

TEST_F(BootDisksTest, RootWithoutPhysicalStoresIsItsOwnWholeDisk)
{
    fake.rootVolume("disk1");
    EXPECT_EQ(bootDisks(fake.env()), (std::set<std::string>{"disk1"}));
    EXPECT_EQ(fake.invocations(), std::vector<Arguments>{rootQuery});
}

TEST_F(BootDisksTest, PhysicalStoresAddTheirWholeDisksOnce)
{
    fake.rootVolume("disk3", {"disk0s2", "disk0s3", "disk2s2"});
    fake.parentOf("disk0s2", "disk0");
    fake.parentOf("disk0s3", "disk0");
    fake.parentOf("disk2s2", "disk2");

    EXPECT_EQ(bootDisks(fake.env()), (std::set<std::string>{"disk0", "disk2", "disk3"}));
    const std::vector<Arguments> expected{rootQuery,
                                          {"info", "-plist", "disk0s2"},
                                          {"info", "-plist", "disk0s3"},
                                          {"info", "-plist", "disk2s2"}};
    EXPECT_EQ(fake.invocations(), expected);
}

// Without the root volume's information no disk could be excluded: that
// is a failure, never an empty set that would offer the system's disk.
TEST_F(BootDisksTest, FailedRootQueryFailsWithoutFurtherQueries)
{
    const auto expectFailure = [this] {
        try {
            const auto disks = bootDisks(fake.env());
            ADD_FAILURE() << "gave a set of " << disks.size();
        } catch (const MakerError& error) {
            EXPECT_EQ(error.message(), "The running system's disk cannot be found (diskutil info / failed).");
        }
    };
    fake.answer(rootQuery, FakeAnswer{"Could not find disk: /\n", 1, false});
    expectFailure();
    EXPECT_EQ(fake.invocations(), std::vector<Arguments>{rootQuery});

    // Output that is no property list counts the same.
    fake.answer(rootQuery, FakeAnswer{"not a plist", 0, false});
    expectFailure();

    // A disk utility that cannot be started at all, too.
    std::filesystem::remove(fake.path());
    expectFailure();
}

// The root volume answered but names no whole disk: nothing to exclude on
// that ground, as before; only a failed query is an error.
TEST_F(BootDisksTest, RootWithoutParentWholeDiskGivesAnEmptySet)
{
    fake.answer(rootQuery, PlistDict{});
    EXPECT_TRUE(bootDisks(fake.env()).empty());
}

TEST_F(BootDisksTest, AFailingStoreAddsNothingButTheOthersCount)
{
    fake.rootVolume("disk3", {"disk0s2", "disk5s2"});
    fake.answer({"info", "-plist", "disk0s2"}, FakeAnswer{"", 1, false});
    fake.parentOf("disk5s2", "disk5");
    EXPECT_EQ(bootDisks(fake.env()), (std::set<std::string>{"disk3", "disk5"}));
}

TEST_F(BootDisksTest, ValuesOfTheWrongTypeAreLeftOut)
{
    // ParentWholeDisk as a number: nothing for the root, stores still read.
    // A store element without a text identifier adds nothing.
    fake.answer(rootQuery, FakeAnswer{R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>ParentWholeDisk</key><integer>3</integer>
<key>APFSPhysicalStores</key><array>
  <dict><key>APFSPhysicalStore</key><string>disk0s2</string></dict>
  <dict><key>APFSPhysicalStore</key><integer>7</integer></dict>
</array></dict></plist>)",
                                      0, false});
    fake.parentOf("disk0s2", "disk0");
    EXPECT_EQ(bootDisks(fake.env()), (std::set<std::string>{"disk0"}));
    EXPECT_EQ(fake.invocations().size(), 2U);
}

TEST_F(BootDisksTest, StoresGivenAsTextsCountAsNoStores)
{
    fake.answer(rootQuery, FakeAnswer{R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>ParentWholeDisk</key><string>disk3</string>
<key>APFSPhysicalStores</key><array><string>disk0s2</string></array>
</dict></plist>)",
                                      0, false});
    fake.parentOf("disk0s2", "disk0");
    EXPECT_EQ(bootDisks(fake.env()), (std::set<std::string>{"disk3"}));
    EXPECT_EQ(fake.invocations(), std::vector<Arguments>{rootQuery});
}

TEST_F(BootDisksTest, ParentWholeDiskIsTakenUnchangedOrAbsent)
{
    fake.parentOf("disk4s1", " disk4 ");
    fake.answer({"info", "-plist", "disk5s1"}, PlistDict{});
    EXPECT_EQ(parentWholeDisk(fake.env(), "disk4s1"), " disk4 ");
    EXPECT_EQ(parentWholeDisk(fake.env(), "disk5s1"), std::nullopt);
    EXPECT_EQ(parentWholeDisk(fake.env(), "disk6s1"), std::nullopt) << "the fake has no answer: exit 1";
}

} // namespace
} // namespace sarnovelle::test
