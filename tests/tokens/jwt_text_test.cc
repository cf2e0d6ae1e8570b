// The text helpers of token checking: base64url, the member extractors, the
// JWT split and decode limits, the audience forms and the local part.
#include <gtest/gtest.h>

#include <string>

#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/token_validation.h"
#include "tests/tokens/token_fixture.h"

namespace fenra::oidc {
namespace {

using testutil::b64url;

// The decoded text, or "!" and the error name.
std::string decode(std::string_view text, size_t cap = 64) {
    unsigned char out[kMaxBase64Text];
    const auto r = base64url_decode(text, out, cap);
    if (!r) return "!" + std::string(error_name(r.error()));
    return std::string(reinterpret_cast<char*>(out), *r);
}

TEST(Base64url, PaddingIsOptional) {
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("QQ"), "A");
    EXPECT_EQ(decode("QQ="), "A");
    EXPECT_EQ(decode("QQ=="), "A");
    EXPECT_EQ(decode("QUI"), "AB");
    EXPECT_EQ(decode("QUI="), "AB");
    EXPECT_EQ(decode("QUJD"), "ABC");
}

TEST(Base64url, UrlAlphabetAndTheStandardOne) {
    EXPECT_EQ(decode("-_8"), "\xfb\xff");
    // "+" and "/" are what "-" and "_" are turned into, so they pass too.
    EXPECT_EQ(decode("+/8"), "\xfb\xff");
}

TEST(Base64url, StrictText) {
    EXPECT_EQ(decode("Q"), "!InvalidBase64");      // 4k + 1: a lone character
    EXPECT_EQ(decode("QUJDR"), "!InvalidBase64");  // likewise
    EXPECT_EQ(decode("Q==="), "!InvalidBase64");
    EXPECT_EQ(decode("===="), "!InvalidBase64");
    EXPECT_EQ(decode("QQ==QQ=="), "!InvalidBase64");  // padding in the middle
    EXPECT_EQ(decode("QQ.Q"), "!InvalidBase64");
    EXPECT_EQ(decode("QQ Q"), "!InvalidBase64");
    EXPECT_EQ(decode(std::string("Q\0Q", 3)), "!InvalidBase64");
    // Stray bits in the last character: "QR" would be a second spelling of "A".
    EXPECT_EQ(decode("QR"), "!InvalidBase64");
    EXPECT_EQ(decode("QUJ"), "!InvalidBase64");
}

TEST(Base64url, CapacityAndTextLimit) {
    EXPECT_EQ(decode("QUJD", 3), "ABC");
    EXPECT_EQ(decode("QUJD", 2), "!BufferTooSmall");
    EXPECT_EQ(decode("QUI", 2), "AB");
    EXPECT_EQ(decode("QUI", 1), "!BufferTooSmall");

    const std::string at_limit(kMaxBase64Text, 'A');
    EXPECT_EQ(decode(at_limit, kMaxBase64Text).size(), kMaxBase64Text / 4 * 3);
    // 8190 bytes pad to 8192: still inside the limit.
    EXPECT_EQ(decode(at_limit.substr(0, 8190), kMaxBase64Text).size(), 6142u);
    EXPECT_EQ(decode(at_limit + "AA", kMaxBase64Text), "!InvalidBase64");
}

TEST(JsonStringField, FirstMemberAndRawValue) {
    EXPECT_EQ(json_string_field(R"({"sub":"alice"})", "\"sub\""), "alice");
    EXPECT_EQ(json_string_field("{\"sub\" \t: \t:\"a\"}", "\"sub\""), "a");
    EXPECT_EQ(json_string_field(R"({"sub":"a","sub":"b"})", "\"sub\""), "a");
    EXPECT_EQ(json_string_field(R"({"sub":""})", "\"sub\""), "");
    // Escapes are kept as written; an escaped quote does not end the value.
    EXPECT_EQ(json_string_field(R"({"sub":"a\"b\\"})", "\"sub\""), R"(a\"b\\)");
    EXPECT_EQ(json_string_field(R"({"sub":"a\u0041"})", "\"sub\""), R"(a\u0041)");
    // Nesting is not considered: the first member anywhere wins.
    EXPECT_EQ(json_string_field(R"({"x":{"sub":"inner"},"sub":"outer"})", "\"sub\""), "inner");
}

TEST(JsonStringField, AbsentOrNotAString) {
    EXPECT_EQ(json_string_field(R"({"subject":"a"})", "\"sub\""), std::nullopt);
    EXPECT_EQ(json_string_field(R"({"sub":5})", "\"sub\""), std::nullopt);
    EXPECT_EQ(json_string_field(R"({"sub":["a"]})", "\"sub\""), std::nullopt);
    EXPECT_EQ(json_string_field(R"({"sub":null})", "\"sub\""), std::nullopt);
    EXPECT_EQ(json_string_field(R"({"sub":"open)", "\"sub\""), std::nullopt);
    EXPECT_EQ(json_string_field(R"({"sub")", "\"sub\""), std::nullopt);
    EXPECT_EQ(json_string_field("", "\"sub\""), std::nullopt);
}

TEST(JsonStringField, AValueThatSpellsTheNameIsNotTheMember) {
    // A claim whose value is "aud" or "exp" must not hide the real member.
    EXPECT_EQ(json_string_field(R"({"name":"aud","aud":"other"})", "\"aud\""), "other");
    EXPECT_EQ(json_string_field(R"({"a":["kid"],"kid":"k1"})", "\"kid\""), "k1");
    EXPECT_EQ(json_number_field(R"({"name":"exp","exp":17})", "\"exp\""), 17);
}

TEST(JsonNumberField, DigitsOrZero) {
    EXPECT_EQ(json_number_field(R"({"exp":1700000000})", "\"exp\""), 1700000000);
    EXPECT_EQ(json_number_field(R"({"exp" : 12,"x":1})", "\"exp\""), 12);
    EXPECT_EQ(json_number_field(R"({"exp":12.9})", "\"exp\""), 12);
    EXPECT_EQ(json_number_field(R"({"exp":"1700000000"})", "\"exp\""), 0);
    EXPECT_EQ(json_number_field(R"({"exp":-5})", "\"exp\""), 0);
    EXPECT_EQ(json_number_field(R"({"exp":+5})", "\"exp\""), 0);
    EXPECT_EQ(json_number_field(R"({"iat":5})", "\"exp\""), 0);
    EXPECT_EQ(json_number_field(R"({"exp":9223372036854775807})", "\"exp\""), INT64_MAX);
    EXPECT_EQ(json_number_field(R"({"exp":9223372036854775808})", "\"exp\""), 0);
    EXPECT_EQ(json_number_field(R"({"exp":99999999999999999999999})", "\"exp\""), 0);
}

TEST(SplitJwt, ExactlyTwoDots) {
    const auto p = split_jwt("aa.bbb.c");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->header, "aa");
    EXPECT_EQ(p->payload, "bbb");
    EXPECT_EQ(p->signature, "c");
    EXPECT_EQ(p->signing_input, "aa.bbb");
    const auto none = split_jwt("aa.bbb.");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->signature, "");

    for (std::string_view t : {"", "abc", "a.b", "a.b.c.d", "a...", "...."}) {
        const auto r = split_jwt(t);
        ASSERT_FALSE(r) << t;
        EXPECT_EQ(r.error(), Error::InvalidFormat);
    }
}

TEST(DecodeJwt, HeaderAndPayloadLimits) {
    DecodedJwt d;
    const std::string header(kMaxJwtHeader, 'h');
    const std::string payload(kMaxJwtPayload, 'p');
    auto parts = [](const std::string& h, const std::string& p) {
        return JwtParts{.header = h, .payload = p, .signature = {}, .signing_input = {}};
    };
    const std::string h = b64url(header), p = b64url(payload);
    ASSERT_TRUE(decode_jwt(parts(h, p), d));
    EXPECT_EQ(d.header(), header);
    EXPECT_EQ(d.payload(), payload);

    const std::string h1 = b64url(header + "h"), p1 = b64url(payload + "p");
    EXPECT_EQ(decode_jwt(parts(h1, p), d).error(), Error::InvalidBase64);
    EXPECT_EQ(decode_jwt(parts(h, p1), d).error(), Error::InvalidBase64);
    EXPECT_EQ(decode_jwt(parts("e30", "e30*"), d).error(), Error::InvalidBase64);
    EXPECT_EQ(decode_jwt(parts("e", "e30"), d).error(), Error::InvalidBase64);
}

TEST(Audience, StringArrayAndOtherForms) {
    auto check = [](std::string_view payload) { return check_audience(payload, "fenra"); };
    EXPECT_TRUE(check(R"({"aud":"fenra"})").ok);
    EXPECT_FALSE(check(R"({"aud":"fenra2"})").ok);
    EXPECT_EQ(check(R"({"aud":"other"})").shown, "other");
    EXPECT_FALSE(check(R"({"aud":""})").ok);

    EXPECT_TRUE(check(R"({"aud":["x","fenra"]})").ok);
    EXPECT_TRUE(check(R"({"aud": [ "fenra" ] ,"x":1})").ok);
    const AudienceCheck other = check(R"({"aud":["x", "y"],"sub":"fenra"})");
    EXPECT_FALSE(other.ok);
    EXPECT_EQ(other.shown, R"(["x", "y"])");
    EXPECT_FALSE(check(R"({"aud":[]})").ok);
    // Only the array's own string elements count.
    EXPECT_FALSE(check(R"({"aud":[["fenra"],{"a":"fenra"}]})").ok);
    EXPECT_FALSE(check(R"({"aud":["fenra\"]"]})").ok);
    EXPECT_TRUE(check(R"({"aud":["a]\"{","fenra"]})").ok);
    const AudienceCheck open = check(R"({"aud":["fenra")");
    EXPECT_FALSE(open.ok);
    EXPECT_EQ(open.shown, R"(["fenra")");

    // Absent, or a form that is neither a string nor an array: not compared.
    EXPECT_TRUE(check(R"({"sub":"a"})").ok);
    EXPECT_TRUE(check(R"({"aud":null})").ok);
    EXPECT_TRUE(check(R"({"aud":"unterminated)").ok);
}

TEST(LocalPart, BeforeTheFirstAt) {
    EXPECT_EQ(local_part("alice"), "alice");
    EXPECT_EQ(local_part("alice@example.org"), "alice");
    EXPECT_EQ(local_part("a@b@c"), "a");
    EXPECT_EQ(local_part("@example.org"), "");
}

}  // namespace
}  // namespace fenra::oidc
