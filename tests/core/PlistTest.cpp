#include "core/Diskutil.h"
#include "core/Plist.h"

#include "TempDir.h"

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::TempDir;

const char* const header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

std::string xml(const std::string& body) { return std::string(header) + "<plist version=\"1.0\">" + body + "</plist>\n"; }

std::optional<PlistDict> parse(const std::string& text) { return PlistDict::parse(toBytes(text)); }

TEST(PlistDict, ReadsEachValueOnlyAsItsOwnType)
{
    const auto dict = parse(xml("<dict>"
                                "<key>Name</key><string>Flash Disk</string>"
                                "<key>Internal</key><false/>"
                                "<key>Size</key><integer>16008609792</integer>"
                                "<key>Ratio</key><real>2.5</real>"
                                "<key>Stamp</key><date>2026-01-01T00:00:00Z</date>"
                                "<key>Blob</key><data>AAEC</data>"
                                "<key>Disks</key><array><string>disk4</string><string>disk5</string></array>"
                                "<key>Mixed</key><array><string>disk4</string><integer>5</integer></array>"
                                "<key>Inner</key><dict><key>APFSPhysicalStore</key><string>disk0s2</string></dict>"
                                "</dict>"));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->text("Name"), "Flash Disk");
    EXPECT_EQ(dict->boolean("Internal"), false);
    EXPECT_EQ(dict->number("Size"), 16008609792u);
    EXPECT_EQ(dict->number("Ratio"), 2u);

    // Wrong types count as missing.
    EXPECT_FALSE(dict->text("Size"));
    EXPECT_FALSE(dict->boolean("Name"));
    EXPECT_FALSE(dict->number("Internal"));
    EXPECT_FALSE(dict->number("Name"));
    EXPECT_FALSE(dict->text("Stamp"));
    EXPECT_FALSE(dict->text("Blob"));
    EXPECT_FALSE(dict->list("Inner"));
    EXPECT_FALSE(dict->dict("Disks"));
    EXPECT_FALSE(dict->text("Absent"));

    EXPECT_EQ(dict->textList("Disks"), (std::vector<std::string>{"disk4", "disk5"}));
    EXPECT_FALSE(dict->textList("Mixed"));
    ASSERT_TRUE(dict->list("Mixed"));
    EXPECT_EQ(dict->list("Mixed")->size(), 2u);

    const auto inner = dict->dict("Inner");
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->text("APFSPhysicalStore"), "disk0s2");
}

TEST(PlistDict, NodesOutliveTheirDictionary)
{
    std::optional<PlistNode> kept;
    {
        const auto dict = parse(xml("<dict><key>A</key><array><string>x</string></array></dict>"));
        ASSERT_TRUE(dict);
        kept = dict->list("A")->at(0);
    }
    EXPECT_EQ(kept->text(), "x");
}

TEST(PlistDict, TopLevelMustBeADictionary)
{
    EXPECT_FALSE(parse(xml("<array><string>disk4</string></array>")));
    EXPECT_FALSE(parse(xml("<string>text</string>")));
    EXPECT_FALSE(parse("plain text from a tool\n"));
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(parse(xml("<dict><key>A</key>")));
}

TEST(PlistDict, BuildsAndReadsBackXmlAndBinary)
{
    PlistDict store;
    store.setText("APFSPhysicalStore", "sda2");
    PlistDict dict;
    dict.setText("DeviceIdentifier", "sdb");
    dict.setBool("WholeDisk", true);
    dict.setNumber("Size", 18446744073709551615u);
    dict.setTextList("WholeDisks", {"sdb", "sdc"});
    dict.setDictList("APFSPhysicalStores", {store});
    dict.setDict("Nested", store);

    const auto back = parse(dict.toXml());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->text("DeviceIdentifier"), "sdb");
    EXPECT_EQ(back->boolean("WholeDisk"), true);
    EXPECT_EQ(back->number("Size"), 18446744073709551615u);
    EXPECT_EQ(back->textList("WholeDisks"), (std::vector<std::string>{"sdb", "sdc"}));
    const auto stores = back->list("APFSPhysicalStores");
    ASSERT_TRUE(stores);
    ASSERT_EQ(stores->size(), 1u);
    EXPECT_EQ(stores->at(0).dict()->text("APFSPhysicalStore"), "sda2");
    EXPECT_EQ(back->dict("Nested")->text("APFSPhysicalStore"), "sda2");
    EXPECT_EQ(back->size(), 6u);
}

// A binary property list (bplist00) of {"Size" = 42, "Name" = "stick"}.
std::string binaryPlist()
{
    // Made with Python's plistlib.
    static const unsigned char bytes[] = {
        0x62, 0x70, 0x6C, 0x69, 0x73, 0x74, 0x30, 0x30, 0xD2, 0x01, 0x02, 0x03, 0x04, 0x54, 0x53, 0x69, 0x7A,
        0x65, 0x54, 0x4E, 0x61, 0x6D, 0x65, 0x10, 0x2A, 0x55, 0x73, 0x74, 0x69, 0x63, 0x6B, 0x08, 0x0D, 0x12,
        0x17, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

TEST(PlistDict, ReadsTheBinaryForm)
{
    const auto dict = parse(binaryPlist());
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->number("Size"), 42u);
    EXPECT_EQ(dict->text("Name"), "stick");
}

TEST(PlistDict, ABinaryStringWithAnInnerNulDoesNotAbort)
{
    // {"Name" = "a\0b"} in binary form; the library's copying accessor
    // aborts the process on such a string. The library keeps the text up
    // to the NUL.
    static const unsigned char bytes[] = {
        0x62, 0x70, 0x6C, 0x69, 0x73, 0x74, 0x30, 0x30, 0xD1, 0x01, 0x02, 0x54, 0x4E, 0x61, 0x6D, 0x65, 0x53, 0x61,
        0x00, 0x62, 0x08, 0x0B, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x14};
    const auto dict = PlistDict::parse({bytes, sizeof bytes});
    ASSERT_TRUE(dict);
    const auto name = dict->text("Name");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->substr(0, 1), "a");
}

class DiskutilPlistTest : public ::testing::Test {
protected:
    std::optional<PlistDict> answer(const std::string& body)
    {
        DiskEnv env;
        env.diskutil = dir.script("diskutil", body).string();
        return diskutilPlist(env, {"info", "-plist", "disk4"});
    }
    TempDir dir;
};

TEST_F(DiskutilPlistTest, ValidDictionaryWithStatusZero)
{
    dir.write("answer.plist", xml("<dict><key>ParentWholeDisk</key><string>disk4</string></dict>"));
    const auto dict = answer("[ \"$1 $2 $3\" = 'info -plist disk4' ] || exit 3\ncat \"$(dirname \"$0\")/answer.plist\"\n");
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->text("ParentWholeDisk"), "disk4");
}

TEST_F(DiskutilPlistTest, NonZeroStatusWithAValidPlistIsAbsent)
{
    dir.write("answer.plist", xml("<dict><key>ParentWholeDisk</key><string>disk4</string></dict>"));
    EXPECT_FALSE(answer("cat \"$(dirname \"$0\")/answer.plist\"\nexit 1\n"));
}

TEST_F(DiskutilPlistTest, ListPlainTextOrMissingToolIsAbsent)
{
    dir.write("list.plist", xml("<array><string>disk4</string></array>"));
    EXPECT_FALSE(answer("cat \"$(dirname \"$0\")/list.plist\"\n"));
    EXPECT_FALSE(answer("echo 'Could not find disk: disk4'\n"));
    DiskEnv env;
    env.diskutil = (dir / "missing").string();
    EXPECT_FALSE(diskutilPlist(env, {"info", "-plist", "/"}));
}

TEST_F(DiskutilPlistTest, BinaryAnswer)
{
    dir.write("answer.bplist", binaryPlist());
    const auto dict = answer("cat \"$(dirname \"$0\")/answer.bplist\"\n");
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->text("Name"), "stick");
}

} // namespace
} // namespace sarnovelle
