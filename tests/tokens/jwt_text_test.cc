// The text helpers of token checking: base64url, the JSON reader, the JWT
// split and decode limits, and user name normalisation.
#include <gtest/gtest.h>

#include <string>

#include "auth/oidc/json_doc.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/token_validation.h"
#include "auth/oidc/username.h"
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

TEST(Base64url, StrictUrlAlphabetWithoutPadding) {
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("QQ"), "A");
    EXPECT_EQ(decode("QUI"), "AB");
    EXPECT_EQ(decode("QUJD"), "ABC");
    EXPECT_EQ(decode("-_8"), "\xfb\xff");
    for (const std::string_view bad :
         {"QQ=", "QQ==", "QUI=", "+/8", "Q", "QUJDR", "====", "QQ.Q", "QQ Q", "QR", "QUJ"})
        EXPECT_EQ(decode(bad), "!InvalidBase64") << bad;
    EXPECT_EQ(decode(std::string("Q\0Q", 3)), "!InvalidBase64");
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

// "ok", or the error of parsing, or of reading "m" as a string.
std::string read(std::string_view text) {
    JsonParser json(4096);
    const auto o = json.parse_object(text);
    if (!o) return std::string(error_name(o.error()));
    const auto m = string_member(*o, "m");
    if (!m) return std::string(error_name(m.error()));
    return *m ? "ok " + std::string(**m) : "absent";
}

TEST(JsonReader, DocumentsAndTypedMembers) {
    const struct {
        std::string_view text, want;
    } cases[] = {
        {R"({"m":"a"})", "ok a"},
        {"{\"m\"\n:\n\"a\\u0041\"}", "ok aA"},  // blanks anywhere, escapes decoded
        {R"({"x":{"m":"inner"}})", "absent"},   // only the top level's own members
        {R"({"m":"a","m":"b"})", "Malformed"},
        {R"({"m":"a","\u006d":"b"})", "Malformed"},  // the same name, escaped
        {R"({"x":[{"k":1,"k":2}],"m":"a"})", "Malformed"},
        {R"({"m":5})", "InvalidFormat"},
        {R"({"m":null})", "InvalidFormat"},
        {R"({"m":["a"]})", "InvalidFormat"},
        {R"({"m":"open)", "ParseError"},
        {R"(["m"])", "ParseError"},
        {"", "ParseError"},
        {"{\"m\":\"\xff\"}", "ParseError"},  // not UTF-8
    };
    for (const auto& c : cases)
        EXPECT_EQ(read(c.text), c.want) << c.text;
    std::string deep = "{\"m\":\"a\",\"x\":";
    for (int i = 0; i < 20; ++i)
        deep += "[";
    EXPECT_EQ(read(deep + std::string(20, ']') + "}"), "ParseError");
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
    EXPECT_EQ(decode_jwt(parts(h1, p), d).error(), Error::BufferTooSmall);
    EXPECT_EQ(decode_jwt(parts(h, p1), d).error(), Error::BufferTooSmall);
    EXPECT_EQ(decode_jwt(parts("e30", "e30*"), d).error(), Error::InvalidBase64);
    EXPECT_EQ(decode_jwt(parts("e", "e30"), d).error(), Error::InvalidBase64);
}

TEST(Username, OneNormalisation) {
    const struct {
        std::string_view name;
        std::optional<std::string_view> domain;
        std::string_view want;
    } cases[] = {
        {"alice", {}, "alice"},
        {"ALICE", {}, "alice"},
        {"Alice@Chat.Example", "chat.example", "alice"},
        {"alice@chat.example", "CHAT.example", "alice"},
        {"alice@evil.example", "chat.example", "!foreign"},
        {"alice@chat.example", {}, "!foreign"},
        {"alice@chat.example.evil", "chat.example", "!foreign"},
        {"a@b@chat.example", "chat.example", "!malformed"},
        {"al ice", {}, "!malformed"},
        {"alice\t", {}, "!malformed"},
        {std::string_view("al\0ice", 6), {}, "!malformed"},
        {"alice\x7f", {}, "!malformed"},
        {"@chat.example", "chat.example", "!empty"},
        {"", {}, "!empty"},
        {"J\xc3\xb6rg", {}, "j\xc3\xb6rg"},  // only ASCII letters change
    };
    for (const auto& c : cases) {
        Username out;
        const UsernameFault f = normalise_username(c.name, c.domain, out);
        const char* names[] = {"", "!empty", "!malformed", "!too_long", "!foreign"};
        EXPECT_EQ(f == UsernameFault::none ? std::string(out.view()) : names[static_cast<int>(f)],
                  c.want)
            << c.name;
    }
    Username out;
    EXPECT_EQ(normalise_username(std::string(kMaxUsername, 'a'), {}, out), UsernameFault::none);
    EXPECT_EQ(normalise_username(std::string(kMaxUsername + 1, 'a'), {}, out),
              UsernameFault::too_long);
}

}  // namespace
}  // namespace fenra::oidc
