// The JSON writer on its own: text that a parser would choke on.
#include "cli/Json.h"

#include <gtest/gtest.h>

namespace sarnovelle::cli {
namespace {

TEST(CliJson, EscapesWhatJsonForbidsAndRepairsBrokenUtf8)
{
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString("tab\there\nline\rcr"), "\"tab\\there\\nline\\rcr\"");
    EXPECT_EQ(jsonString(std::string("nul\0bell\x07" "del\x7f", 13)), "\"nul\\u0000bell\\u0007del\\u007f\"");
    EXPECT_EQ(jsonString("Über"), "\"Über\"");
    // C1: CSI, NEL and OSC; U+00A0 after them is no control character.
    EXPECT_EQ(jsonString("\u009b31m\u0085\u009d\u00a0"), "\"\\u009b31m\\u0085\\u009d\u00a0\"");
    EXPECT_EQ(jsonString("bad\xff\xfe!"), "\"bad\xEF\xBF\xBD\xEF\xBF\xBD!\"");
}

TEST(CliJson, OneObjectPerDiskInListOrder)
{
    EXPECT_EQ(disksJson({}), "[]\n");
    const auto disk = [](std::string id, std::string name, std::uint64_t size, std::string serial) {
        UsbDisk made;
        made.id = std::move(id);
        made.name = std::move(name);
        made.size = size;
        made.serial = std::move(serial);
        return made;
    };
    EXPECT_EQ(disksJson({disk("disk4", "A", 16, "S1"), disk("disk3", "", 2, "")}),
              "[\n"
              "  {\"id\": \"disk4\", \"name\": \"A\", \"size\": 16, \"serial\": \"S1\"},\n"
              "  {\"id\": \"disk3\", \"name\": \"\", \"size\": 2, \"serial\": \"\"}\n"
              "]\n");
}

} // namespace
} // namespace sarnovelle::cli
