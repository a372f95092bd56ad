// Which way the changes take: udisks2 when it answers on the system bus,
// the kernel as root, and otherwise one clear refusal before anything is
// touched. The bus is a socket that does not exist, or a private
// dbus-daemon where udisks2 is not running.

#include "FakeSystem.h"
#include "FakeUdisks.h"

#include "core/ToolRunner.h"
#include "linux/diskutil/devices/Helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace sarnovelle::test {
namespace {

const std::string clearLine = "Preparing a stick needs the udisks2 service (Debian package udisks2) or root";

const std::vector<std::vector<std::string>> everyChange{
    {"partitionDisk", "/dev/sdb", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"},
    {"mount", "sdbs1"},
    {"unmount", "sdbs1"},
    {"eject", "/dev/sdb"}};

class BackendChoice : public ::testing::Test {
protected:
    void SetUp() override
    {
        addTypicalDisks(system);
        system.mount("259:1", "/", "ext4", "/dev/nvme0n1p1");
        system.mount("8:17", "/media/alice/STICK", "vfat", "/dev/sdb1");
        stick = system.node("sdb", 0);
        std::ofstream(stick) << "old contents";
    }

    std::filesystem::path deleteFile() const { return system.blockFolder("sdb") / "device/delete"; }

    void expectUntouched() const
    {
        EXPECT_EQ(readText(stick), "old contents");
        EXPECT_EQ(readText(deleteFile()), "") << "the stick was taken out";
        EXPECT_FALSE(std::filesystem::exists(system.roots().media / "alice")) << "a mount folder was made";
    }

    FakeSystem system;
    std::filesystem::path stick;
};

TEST_F(BackendChoice, WithoutUdisksAndWithoutRootEveryChangeIsRefusedWithOneClearLine)
{
    for (const auto& arguments : everyChange) {
        const Outcome outcome = system.run(arguments, false);
        EXPECT_EQ(outcome.status, 1) << arguments[0];
        EXPECT_EQ(outcome.out, "") << arguments[0];
        ASSERT_EQ(outcome.errLines().size(), 1U) << outcome.err;
        EXPECT_EQ(outcome.err.rfind(clearLine, 0), 0U) << outcome.err;
        EXPECT_NE(outcome.err.find(arguments[0] + " was not run"), std::string::npos) << outcome.err;
        // The bus' own reason is passed on.
        EXPECT_NE(outcome.err.find("(udisks2: no system bus: "), std::string::npos) << outcome.err;
        expectUntouched();
    }
}

TEST_F(BackendChoice, MistakesInTheInvocationAreToldBeforeTheMissingService)
{
    for (const auto& [arguments, expected] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"eject", "../sda"}, "Invalid"},
             {{"mount", "/dev/sdb 1"}, "Invalid"},
             {{"partitionDisk", "/dev/sdb", "GPT"}, "partitionDisk: unsupported arguments"},
             {{"partitionDisk", "/dev/sdb", "MBR", "MS-DOS FAT32", "A/B", "2097152S", "Free Space", "none", "R"},
              "volume name"}}) {
        const Outcome outcome = system.run(arguments, false);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.err.find(expected), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("udisks2"), std::string::npos) << outcome.err;
    }
    expectUntouched();
}

TEST_F(BackendChoice, RootWithoutUdisksTakesTheKernelWay)
{
    const Outcome outcome = system.run({"eject", "/dev/sdb"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(readText(deleteFile()), "1");
}

class BackendChoiceOnABus : public BackendChoice {
protected:
    void SetUp() override
    {
        if (!standin::findHelper("dbus-daemon")) {
            GTEST_SKIP() << "dbus-daemon is missing (Debian package dbus-daemon)";
        }
        BackendChoice::SetUp();
    }
};

TEST_F(BackendChoiceOnABus, ABusWithoutUdisks2CountsAsNoUdisks2)
{
    const FakeUdisks bus(false);
    system.systemBus = bus.address();
    const Outcome refused = system.run({"eject", "/dev/sdb"}, false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind(clearLine, 0), 0U) << refused.err;
    EXPECT_NE(refused.err.find("org.freedesktop.UDisks2"), std::string::npos) << "the bus' reason: " << refused.err;
    expectUntouched();

    const Outcome asRoot = system.run({"eject", "/dev/sdb"});
    EXPECT_EQ(asRoot.status, 0) << asRoot.err;
    EXPECT_EQ(readText(deleteFile()), "1");
}

TEST_F(BackendChoiceOnABus, Udisks2IsTakenWhenItAnswersEvenForRoot)
{
    FakeUdisks udisks;
    udisks.drive("Stick", true);
    udisks.disk("sdb", 8, 16, "Stick");
    system.systemBus = udisks.address();
    for (const bool privileged : {true, false}) {
        const Outcome outcome = system.run({"eject", "/dev/sdb"}, privileged);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "Disk /dev/sdb ejected\n");
    }
    EXPECT_EQ(udisks.calls(), (std::vector<std::string>{"PowerOff Stick", "PowerOff Stick"}));
    EXPECT_EQ(readText(deleteFile()), "") << "the kernel's way was taken";
}

TEST_F(BackendChoiceOnABus, AModuleThatCannotBeLoadedCountsAsNoUdisks2)
{
    FakeUdisks udisks;
    udisks.drive("Stick", true);
    udisks.disk("sdb", 8, 16, "Stick");
    system.systemBus = udisks.address();
    system.udisksModule = system.roots().dev / "no-such-module.so";

    const Outcome refused = system.run({"eject", "/dev/sdb"}, false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind(clearLine, 0), 0U) << refused.err;
    EXPECT_NE(refused.err.find("(udisks2: cannot load " + system.udisksModule.string() + ": "), std::string::npos)
        << refused.err;
    expectUntouched();

    const Outcome asRoot = system.run({"eject", "/dev/sdb"});
    EXPECT_EQ(asRoot.status, 0) << asRoot.err;
    EXPECT_EQ(readText(deleteFile()), "1") << "the kernel's way was taken";
    EXPECT_TRUE(udisks.calls().empty());
}

// A preparation runs the program nine times; the queries among them must
// not pay for loading the D-Bus stack.
TEST(ProgramStart, QueriesLoadNeitherGlibNorUdisks2)
{
    ::setenv("LD_DEBUG", "files", 1);
    const ToolResult result = runTool(SARNOVELLE_TEST_DISKUTIL, {"list", "-plist", "external", "physical"});
    ::unsetenv("LD_DEBUG");
    const std::string text = result.text();
    ASSERT_EQ(result.status, 0) << text;
    EXPECT_NE(text.find("libblkid.so"), std::string::npos) << "the loader's report is missing:\n" << text;
    for (const char* library : {"libgio-2.0.so", "libglib-2.0.so", "libudisks2.so"}) {
        EXPECT_EQ(text.find(library), std::string::npos) << library << " was loaded";
    }
}

} // namespace
} // namespace sarnovelle::test
