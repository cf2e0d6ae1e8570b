#include "s2s/xmpp/dialback_key.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace fenra::xmpp {
namespace {

std::array<uint8_t, 32> counting_secret() {
    std::array<uint8_t, 32> s{};
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<uint8_t>(i);
    return s;
}

TEST(DialbackKey, KnownValues) {
    const auto secret = counting_secret();
    // HMAC-SHA256 values computed with an independent implementation.
    auto key = dialback_key(secret, "b.test", "a.test", "4f2a9c1e");
    ASSERT_TRUE(key);
    EXPECT_EQ(key_text(*key), "d7b8a9a309ea0d92151ae4f409a92ee306739a10233d53d64935dad221f02102");
    auto empty = dialback_key(secret, "", "", "");  // the input is then two blanks
    ASSERT_TRUE(empty);
    EXPECT_EQ(key_text(*empty), "d6610f569813274ba00e8b61f17b455271d0bc970efe73821788cdc38b6b6b6d");
}

TEST(DialbackKey, EachInputChangesTheKey) {
    const auto secret = counting_secret();
    const auto base = *dialback_key(secret, "b.test", "a.test", "x");
    EXPECT_NE(*dialback_key(secret, "a.test", "b.test", "x"), base);
    EXPECT_NE(*dialback_key(secret, "b.test", "a.test", "y"), base);
    // The blanks separate the fields: moving one does not give the same key.
    EXPECT_NE(*dialback_key(secret, "b.test a.test", "", "x"), base);
    auto other_secret = secret;
    other_secret[31] ^= 1;
    EXPECT_NE(*dialback_key(other_secret, "b.test", "a.test", "x"), base);
}

TEST(DialbackKey, Verification) {
    const auto secret = counting_secret();
    const auto expected = *dialback_key(secret, "b.test", "a.test", "x");
    const std::string text(key_text(expected));
    EXPECT_TRUE(dialback_key_matches(text, expected));

    std::string upper = text;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upper, text);
    EXPECT_FALSE(dialback_key_matches(upper, expected));
    EXPECT_FALSE(dialback_key_matches(text.substr(0, 63), expected));
    EXPECT_FALSE(dialback_key_matches(text + "0", expected));
    EXPECT_FALSE(dialback_key_matches(" " + text.substr(0, 63), expected));
    EXPECT_FALSE(dialback_key_matches("", expected));
    std::string last = text;
    last[63] = last[63] == '0' ? '1' : '0';
    EXPECT_FALSE(dialback_key_matches(last, expected));
}

}  // namespace
}  // namespace fenra::xmpp
