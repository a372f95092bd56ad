#include "core/Text.h"
#include "core/ToolRunner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sarnovelle {
namespace {

std::string decode(std::string_view raw) { return decodeUtf8Lossy(toBytes(raw)); }

std::vector<std::string> logged(std::string_view output)
{
    ToolResult result;
    result.status = 0;
    result.output = toBytes(output);
    std::vector<std::string> lines;
    logTool(result, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

TEST(DecodeUtf8, ValidTextIsUnchanged)
{
    EXPECT_EQ(decode("plain ASCII"), "plain ASCII");
    EXPECT_EQ(decode("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80"), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
}

TEST(DecodeUtf8, IllFormedBytesBecomeReplacementCharacters)
{
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(decode("abc\xFF" "def"), "abc" + fffd + "def");
    // Overlong encoding, surrogate, and a code point above U+10FFFF: one
    // replacement per maximal subpart.
    EXPECT_EQ(decode("\xC0\xAF"), fffd + fffd);
    EXPECT_EQ(decode("\xED\xA0\x80"), fffd + fffd + fffd);
    EXPECT_EQ(decode("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
    // A truncated sequence is one replacement, and the byte after it stays.
    EXPECT_EQ(decode("\xE2\x82" "x"), fffd + "x");
    EXPECT_EQ(decode("end\xF0\x9F\x98"), "end" + fffd);
    EXPECT_EQ(decode("\x80\x80"), fffd + fffd);
}

TEST(LogTool, MixedBreaksAndBlankLinesGiveOnlyTheWords)
{
    // A word, an empty line, a word between three leading and two trailing
    // spaces, a line of only a tab and a space; CR LF and LF mixed.
    EXPECT_EQ(logged("first\r\n\r\n   second  \n\t \r\n"),
              (std::vector<std::string>{"  diskutil: first", "  diskutil: second"}));
}

TEST(LogTool, SplitsAtEveryLineBreakCharacter)
{
    EXPECT_EQ(logged("a\nb\vc\fd\re\xC2\x85" "f\xE2\x80\xA8g\xE2\x80\xA9h"),
              (std::vector<std::string>{"  diskutil: a", "  diskutil: b", "  diskutil: c", "  diskutil: d",
                                        "  diskutil: e", "  diskutil: f", "  diskutil: g", "  diskutil: h"}));
    EXPECT_EQ(logged("\n\n\r\r\nonly\n\n"), (std::vector<std::string>{"  diskutil: only"}));
    EXPECT_TRUE(logged("").empty());
}

TEST(LogTool, TrimsExactlySpaceSeparatorsAndTab)
{
    // No-break space, em space, ideographic space and tab go; the word
    // joiner (not Zs) and inner blanks stay.
    EXPECT_EQ(logged("\xC2\xA0\xE2\x80\x83\t a  b \xE3\x80\x80"), (std::vector<std::string>{"  diskutil: a  b"}));
    EXPECT_EQ(logged("\xE2\x81\xA0x"), (std::vector<std::string>{"  diskutil: \xE2\x81\xA0x"}));
}

TEST(LogTool, IllFormedOutputIsLoggedWithReplacement)
{
    EXPECT_EQ(logged("bad \xFF byte\n"), (std::vector<std::string>{"  diskutil: bad \xEF\xBF\xBD byte"}));
}

} // namespace
} // namespace sarnovelle
