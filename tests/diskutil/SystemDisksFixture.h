#pragma once

// What "info -plist /" answers and what the core makes of it, for the
// tests of the system-disk set.

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace sarnovelle::test {

class SystemDisksFixture : public ::testing::Test {
protected:
    void SetUp() override { addTypicalDisks(system); }

    PlistDict rootInfo()
    {
        const Outcome outcome = system.run({"info", "-plist", "/"});
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return outcome.plist().value_or(PlistDict());
    }

    // The "APFSPhysicalStore" texts, in order; a malformed element fails.
    std::vector<std::string> stores(const PlistDict& answer)
    {
        std::vector<std::string> names;
        const auto list = answer.list("APFSPhysicalStores");
        EXPECT_TRUE(list.has_value());
        for (const auto& element : list.value_or(std::vector<PlistNode>{})) {
            const auto entry = element.dict();
            EXPECT_TRUE(entry.has_value());
            names.push_back(entry ? entry->text("APFSPhysicalStore").value_or("?") : "?");
        }
        return names;
    }

    // What the core's exclusion makes of the answer: the root's whole disk
    // and the whole disk of every store, each asked for separately.
    std::vector<std::string> excludedDisks(const PlistDict& answer)
    {
        std::vector<std::string> disks;
        if (const auto parent = answer.text("ParentWholeDisk")) {
            disks.push_back(*parent);
        }
        for (const auto& store : stores(answer)) {
            const auto storeInfo = system.run({"info", "-plist", store}).plist();
            EXPECT_TRUE(storeInfo.has_value()) << store;
            if (storeInfo && storeInfo->text("ParentWholeDisk")) {
                disks.push_back(*storeInfo->text("ParentWholeDisk"));
            }
        }
        std::sort(disks.begin(), disks.end());
        disks.erase(std::unique(disks.begin(), disks.end()), disks.end());
        return disks;
    }

    void expectRefused(const std::string& disk)
    {
        const auto deleteFile = system.blockFolder(disk) / "device/delete";
        for (const auto& arguments : std::vector<std::vector<std::string>>{
                 {"partitionDisk", "/dev/" + disk, "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"},
                 {"eject", "/dev/" + disk},
                 {"unmount", disk + "s1"}}) {
            const Outcome outcome = system.run(arguments);
            EXPECT_EQ(outcome.status, 1) << arguments[0];
            EXPECT_EQ(outcome.out, "") << arguments[0];
            EXPECT_NE(outcome.err.find("running system"), std::string::npos) << outcome.err;
        }
        if (std::filesystem::exists(deleteFile)) {
            EXPECT_EQ(readText(deleteFile), "") << "the disk was removed";
        }
    }

    FakeSystem system;
};

} // namespace sarnovelle::test
