#include "core/Sha256.h"

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

TEST(Sha256Hex, EmptyInputIsTheKnownDigestInUpperCase)
{
    EXPECT_EQ(sha256Hex({}), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
}

TEST(Sha256Hex, KnownVectors)
{
    EXPECT_EQ(sha256Hex(toBytes("abc")), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    // 1 MiB of 'a' crosses many compression blocks.
    const Bytes big(1 << 20, 'a');
    EXPECT_EQ(sha256Hex(big), "9BC1B2A288B26AF7257A36277AE3816A7D4F16E89C1E7E77D0A5C48BAD62B360");
}

TEST(Sha256Hex, KeepsLeadingZerosAndNeverUsesLowerCase)
{
    // SHA-256("8") = 2C624232CDD221771294DFBB310ACA000A0DF6AC8B66B696D90EF06FDEFB64A3
    // holds the bytes 0x00 and 0x0A.
    const std::string hex = sha256Hex(toBytes("8"));
    EXPECT_EQ(hex, "2C624232CDD221771294DFBB310ACA000A0DF6AC8B66B696D90EF06FDEFB64A3");
    for (int i = 0; i < 256; ++i) {
        const std::string digest = sha256Hex(Bytes(static_cast<std::size_t>(i), static_cast<std::uint8_t>(i)));
        ASSERT_EQ(digest.size(), 64u);
        for (const char c : digest) {
            ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << digest;
        }
    }
}

// Bytes that arrive in pieces give the digest of the whole, however they
// are cut, and a finished digest starts afresh.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole)
{
    Bytes data(3 * 64 + 17);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    const std::string whole = sha256Hex(data);
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{55}, std::size_t{64},
                                  std::size_t{65}, data.size()}) {
        Sha256 digest;
        const ByteView view(data);
        digest.update(view.first(cut));
        digest.update({});
        digest.update(view.subspan(cut));
        EXPECT_EQ(digest.hexDigest(), whole) << "cut at " << cut;
    }

    Sha256 reused;
    reused.update(toBytes("first"));
    (void)reused.hexDigest();
    reused.update(toBytes("abc"));
    EXPECT_EQ(reused.hexDigest(), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(reused.hexDigest(), sha256Hex({}));
}

} // namespace
} // namespace sarnovelle
