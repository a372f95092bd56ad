// --list and --list --json through the real program and the fake disk
// utility: what is offered, what is left out and why, and the exit status.
#include "CliHarness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace sarnovelle::test {
namespace {

constexpr std::uint64_t floorSize = 1'140'850'688; // 1088 MiB

TEST(CliList, OffersTheWindowsDisksAndSaysWhyTheOthersAreLeftOut)
{
    CliTree tree;
    FakeDiskutil& fake = tree.fake();
    fake.listWholeDisks({"disk0", "disk2", "disk3", "disk4", "x;y", "disk5", "disk6", "disk7", "disk8", "disk9"});
    fake.rootVolume("disk0");
    PlistDict internal = FakeDiskutil::usbDiskInfo("Card reader", 64'000'000'000);
    internal.setBool("Internal", true);
    fake.answer({"info", "-plist", "disk2"}, internal);
    fake.usbDisk("disk3", "Tiny", floorSize - 1);
    fake.usbDisk("disk4", "SanDisk Ultra", 16'008'609'792);
    fake.usbDisk("disk5", "Just enough", floorSize);
    PlistDict sata = FakeDiskutil::usbDiskInfo("Dock disk", 500'000'000'000);
    sata.setText("BusProtocol", "SATA");
    fake.answer({"info", "-plist", "disk6"}, sata);
    fake.answer({"info", "-plist", "disk7"}, FakeAnswer{"no such disk\n", 1});
    PlistDict encrypted = FakeDiskutil::usbDiskInfo("Backup", 32'000'000'000);
    encrypted.setText("InUseBy", "the LUKS volume luks-0f3a, mounted at /media/alice/Backup");
    fake.answer({"info", "-plist", "disk8"}, encrypted);
    PlistDict locked = FakeDiskutil::usbDiskInfo("Cruzer", 16'008'609'792);
    locked.setBool("WritableMedia", false);
    fake.answer({"info", "-plist", "disk9"}, locked);

    const CliResult result = tree.run({"--list"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(linesOf(result.out), (std::vector<std::string>{labelOf("disk4", "SanDisk Ultra", 16'008'609'792),
                                                             labelOf("disk5", "Just enough", floorSize)}));
    EXPECT_EQ(linesOf(result.err), (std::vector<std::string>{
                                       "Left out disk0: system disk",
                                       "Left out disk2: internal",
                                       "Left out disk3: too small (1087 MiB, at least 1088 MiB needed)",
                                       "Left out x;y: not a plain disk name",
                                       "Left out disk6: not attached by USB",
                                       "Left out disk7: no information from the disk utility",
                                       "Left out disk8: in use by the LUKS volume luks-0f3a, mounted at "
                                       "/media/alice/Backup",
                                       "Left out disk9: write-protected (its lock switch may be on)",
                                   }));
    // Listing asks, it never changes a disk; the odd name is never queried.
    for (const std::string& invocation : tree.invocations()) {
        EXPECT_TRUE(invocation.starts_with("list ") || invocation.starts_with("info ")) << invocation;
        EXPECT_FALSE(contains(invocation, "x;y")) << invocation;
    }
    EXPECT_EQ(tree.countInvocations("info -plist disk0"), 0);
}

TEST(CliList, NoDiskIsNoFailureButAFailedListingIs)
{
    CliTree tree;
    tree.fake().listWholeDisks({});
    tree.fake().rootVolume("disk0");

    CliResult none = tree.run({"--list"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "No USB disk found. Insert a USB stick and list again.\n");
    none = tree.run({"--list", "--json"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "[]\n");
    EXPECT_EQ(none.err, "");

    tree.fake().answer({"list", "-plist", "external", "physical"}, FakeAnswer{"diskutil: broken\n", 1});
    for (const auto& arguments : {std::vector<std::string>{"--list"}, std::vector<std::string>{"--json", "--list"}}) {
        const CliResult failed = tree.run(arguments);
        EXPECT_EQ(failed.status, 1);
        EXPECT_EQ(failed.out, "");
        EXPECT_EQ(failed.err, "Cannot list disks: diskutil list failed.\n");
    }
}

TEST(CliList, JsonHoldsIdNameSizeAndSerialOfEachOfferedDisk)
{
    CliTree tree;
    FakeDiskutil& fake = tree.fake();
    fake.listWholeDisks({"disk0", "disk4", "disk5"});
    fake.rootVolume("disk0");
    const std::string awkward = "Stick \"Pro\" \\ Überall\tend";
    fake.usbDisk("disk4", awkward, 16'008'609'792);
    fake.usbDisk("disk5", "", floorSize);

    const CliResult result = tree.run({"--list", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "Left out disk0: system disk\n");
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(result.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << result.out;
    ASSERT_TRUE(document.isArray()) << result.out;
    const QJsonArray disks = document.array();
    ASSERT_EQ(disks.size(), 2);

    const QJsonObject first = disks[0].toObject();
    EXPECT_EQ(first.keys(), (QStringList{"id", "name", "serial", "size"}));
    EXPECT_EQ(first["id"].toString(), QStringLiteral("disk4"));
    EXPECT_EQ(first["name"].toString(), QString::fromStdString(awkward));
    EXPECT_TRUE(first["size"].isDouble());
    EXPECT_EQ(first["size"].toInteger(), 16'008'609'792);
    EXPECT_EQ(first["serial"].toString(), QString());

    const QJsonObject second = disks[1].toObject();
    EXPECT_EQ(second["id"].toString(), QStringLiteral("disk5"));
    EXPECT_EQ(second["name"].toString(), QString());
    EXPECT_EQ(second["size"].toInteger(), static_cast<qint64>(floorSize));
}

} // namespace
} // namespace sarnovelle::test
