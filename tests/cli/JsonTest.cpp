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
    EXPECT_EQ(jsonString("bad\xff\xfe!"), "\"bad\xEF\xBF\xBD\xEF\xBF\xBD!\"");
}

TEST(CliJson, OneObjectPerDiskInListOrder)
{
    EXPECT_EQ(disksJson({}), "[]\n");
    EXPECT_EQ(disksJson({UsbDisk{"disk4", "A", 16, "S1"}, UsbDisk{"disk3", "", 2, ""}}),
              "[\n"
              "  {\"id\": \"disk4\", \"name\": \"A\", \"size\": 16, \"serial\": \"S1\"},\n"
              "  {\"id\": \"disk3\", \"name\": \"\", \"size\": 2, \"serial\": \"\"}\n"
              "]\n");
}

} // namespace
} // namespace sarnovelle::cli
