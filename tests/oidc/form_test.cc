#include "auth/oidc/form.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace fenra::oidc {
namespace {

std::string enc(std::string_view s) {
    char buf[1024];
    FormWriter f(buf, sizeof buf);
    f.enc(s);
    EXPECT_FALSE(f.overflow());
    return std::string(f.text());
}

TEST(FormEncoding, UnreservedBytesStayAndAllOthersAreUpperHex) {
    EXPECT_EQ(enc("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(enc("a&b=c+d e"), "a%26b%3Dc%2Bd%20e");
    EXPECT_EQ(enc("@/?#%"), "%40%2F%3F%23%25");
    EXPECT_EQ(enc(std::string_view("\0\x7f\x80\xff", 4)), "%00%7F%80%FF");
    EXPECT_EQ(enc("\xc3\xa9"), "%C3%A9");

    // Every byte outside the unreserved set takes exactly three bytes.
    for (int c = 0; c < 256; ++c) {
        char in = static_cast<char>(c);
        bool plain = std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
        EXPECT_EQ(enc(std::string_view(&in, 1)).size(), plain ? 1u : 3u) << c;
    }
}

TEST(FormEncoding, OverflowVoidsTheBodyAtTheExactBoundary) {
    char buf[8];
    FormWriter fits(buf, 8);
    fits.raw("ab");
    fits.enc("c d");  // c %20 d
    EXPECT_FALSE(fits.overflow());
    EXPECT_EQ(fits.text(), "abc%20d");

    FormWriter three(buf, 8);
    three.raw("abcde");
    three.enc(" ");  // 5 + 3 = 8 fits exactly
    EXPECT_FALSE(three.overflow());
    three.enc("x");
    EXPECT_TRUE(three.overflow());

    FormWriter split(buf, 7);
    split.raw("abcde");
    split.enc(" ");  // would need 8
    EXPECT_TRUE(split.overflow());
    split.raw("x");  // stays void
    EXPECT_TRUE(split.overflow());
}

}  // namespace
}  // namespace fenra::oidc
