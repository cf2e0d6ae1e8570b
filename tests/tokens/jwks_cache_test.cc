// Key extraction from JWKS documents, the refresh policy with an injected
// clock and a counting provider, and the two signature checks.
#include "auth/oidc/jwks_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/oidc/jwt_verify.h"
#include "tests/auth/log_capture.h"
#include "tests/tokens/token_fixture.h"

namespace fenra::oidc {
namespace {

using testutil::b64url;
using testutil::ed_key;
using testutil::jwks;
using testutil::okp_jwk;
using testutil::rsa_jwk;
using testutil::rsa_key;

std::vector<std::string> kids(std::string_view doc) {
    std::vector<JwkEntry> out(kMaxJwks);
    const auto n = extract_jwks_keys(doc, out.data(), out.size());
    if (!n) return {"!" + std::string(error_name(n.error()))};
    std::vector<std::string> list;
    for (size_t i = 0; i < *n; ++i)
        list.push_back(out[i].kid + (out[i].kind == JwkKind::okp ? "/okp" : "/rsa"));
    return list;
}

TEST(KeyExtraction, OnlyUsableSigningKeys) {
    const std::string rsa = rsa_jwk("r", rsa_key()), ed = okp_jwk("e", ed_key());
    const std::string plain_rsa =
        R"({"kty":"RSA","kid":"bare","n":")" + rsa_key().n + R"(","e":"AQAB"})";
    const std::string small_n = b64url(std::string(255, '\xff'));  // 2040 bits
    const struct {
        std::string key;
        std::string_view want;  // the kid kept, or "" for none
    } cases[] = {
        {rsa, "r/rsa"},
        {ed, "e/okp"},
        {plain_rsa, "bare/rsa"},  // no use, no alg: fine
        {R"({"kty":"RSA","kid":"enc","use":"enc","e":"AQAB","n":")" + rsa_key().n + "\"}", ""},
        {R"({"kty":"RSA","kid":"ps","alg":"PS256","e":"AQAB","n":")" + rsa_key().n + "\"}", ""},
        {R"({"kty":"OKP","kid":"rs","alg":"RS256","crv":"Ed25519","x":")" + ed_key().x + "\"}", ""},
        {R"({"kty":"OKP","kid":"x448","crv":"X25519","x":")" + ed_key().x + "\"}", ""},
        {R"({"kty":"OKP","kid":"nocrv","x":")" + ed_key().x + "\"}", ""},
        {R"({"kty":"RSA","kid":"small","e":"AQAB","n":")" + small_n + "\"}", ""},
        {R"({"kty":"EC","crv":"P-256","x":"AA","y":"BB","kid":"ec"})", ""},
        {R"({"kty":"oct","k":"AA","kid":"hmac"})", ""},
        {R"({"kty":"RSA","e":"AQAB","n":")" + rsa_key().n + "\"}", ""},          // no kid
        {R"({"kty":"RSA","kid":5,"e":"AQAB","n":")" + rsa_key().n + "\"}", ""},  // not a string
        {R"({"kty":"OKP","kid":"nox","crv":"Ed25519"})", ""},
    };
    for (const auto& c : cases) {
        const auto got = kids(jwks({c.key}));
        EXPECT_EQ(got, c.want.empty() ? std::vector<std::string>{}
                                      : std::vector<std::string>{std::string(c.want)})
            << c.key;
    }
}

TEST(KeyExtraction, DocumentsThatAreNotJwks) {
    EXPECT_EQ(kids(""), std::vector<std::string>{"!ParseError"});
    EXPECT_EQ(kids("not json"), std::vector<std::string>{"!ParseError"});
    EXPECT_EQ(kids(R"({"keys":[],"keys":[]})"), std::vector<std::string>{"!Malformed"});
    EXPECT_EQ(kids(R"({"keys":{}})"), std::vector<std::string>{});
    // A kid decoded from its escapes; members of a key come from its object.
    EXPECT_EQ(kids(R"({"keys":[{"kty":"OKP","crv":"Ed25519","x":"AAAA","kid":"a\"b"}]})"),
              std::vector<std::string>{"a\"b/okp"});
    std::vector<std::string> list;
    for (int i = 0; i < 20; ++i)
        list.push_back(okp_jwk("k" + std::to_string(i), ed_key()));
    EXPECT_EQ(kids(jwks(list)).size(), kMaxJwks);
}

// A cache with its own clock and a provider that counts fetches.
struct CacheRig {
    OidcConfig config = testutil::test_config();
    testutil::ScriptedProvider provider;
    ImmediateTransport transport{provider.transport(), config.ca_file};
    int64_t now = 1'800'000'000;
    WallClock clock = [this] { return now; };
    JwksCache cache{config, transport, clock};
    testutil::LogCapture log;

    size_t mark() const { return log.lines().size(); }
    // The lines written since mark.
    std::vector<std::string> since(size_t mark) const {
        const auto all = log.lines();
        return {all.begin() + static_cast<long>(mark), all.end()};
    }
};

TEST(RefreshPolicy, FirstLookupFetchesAndLogs) {
    CacheRig r;
    r.provider.jwks_doc =
        jwks({rsa_jwk("r1", rsa_key()), rsa_jwk("r2", rsa_key()),
              R"({"kty":"EC","kid":"ec","x":"AA","y":"BB"})", rsa_jwk("r3", rsa_key())});
    ASSERT_NE(r.cache.find_key("r2"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 1u);
    EXPECT_EQ(r.cache.key_count(), 3u);
    EXPECT_EQ(r.cache.fetched_at(), r.now);
    EXPECT_EQ(r.log.lines(), (std::vector<std::string>{
                                 "info(oidc_store): refreshing JWKS from https://idp.example/jwks",
                                 "info(oidc_store): JWKS: skipping key 'ec': unsupported key type",
                                 "info(oidc_store): JWKS: cached 3 keys",
                             }));
    const auto& call = r.provider.calls.at(0);
    EXPECT_EQ(call.url, "https://idp.example/jwks");
    EXPECT_EQ(call.body, std::nullopt);
    EXPECT_EQ(call.content_type, std::nullopt);
    EXPECT_EQ(call.ca_file, "/etc/fenra/idp-ca.pem");
    // Known kids are found without another fetch.
    ASSERT_NE(r.cache.find_key("r1"), nullptr);
    EXPECT_EQ(r.cache.find_key("r3")->kid, "r3");
    EXPECT_EQ(r.provider.jwks_fetches(), 1u);
}

TEST(RefreshPolicy, UnknownKidTenMinutesAfterARefreshFetchesOnce) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 600;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key()), okp_jwk("b", ed_key())});
    ASSERT_NE(r.cache.find_key("b"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 2u);
    EXPECT_EQ(r.cache.fetched_at(), r.now);
}

TEST(RefreshPolicy, UnknownKidOnAStaleCacheGetsTheStaleRefreshOnly) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 7200;
    EXPECT_EQ(r.cache.find_key("unknown"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 2u);
    // An hour to the second is still fresh; one more second is stale.
    r.now += 3600;
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 2u);
    r.now += 1;
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 3u);
}

TEST(RefreshPolicy, KidMissRefreshAtMostOnceInThirtySeconds) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 60;
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(r.cache.find_key("nope-" + std::to_string(i)), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 2u);

    // Inside the cool-down even a kid the provider now has is not fetched.
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key()), okp_jwk("new", ed_key())});
    r.now += 29;
    EXPECT_EQ(r.cache.find_key("new"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 2u);
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 1;
    ASSERT_NE(r.cache.find_key("new"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 3u);
}

TEST(RefreshPolicy, AFailedKidMissRefreshAlsoWaitsForTheCoolDown) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 100;
    r.provider.jwks_status = 503;
    const size_t mark = r.mark();
    EXPECT_EQ(r.cache.find_key("b"), nullptr);
    EXPECT_EQ(r.cache.find_key("b"), nullptr);
    EXPECT_EQ(r.provider.jwks_fetches(), 2u);
    EXPECT_EQ(r.since(mark), (std::vector<std::string>{
                                 "info(oidc_store): refreshing JWKS from https://idp.example/jwks",
                                 "error(oidc_store): JWKS endpoint returned 503",
                                 "error(oidc_store): JWKS kid-miss refresh failed",
                             }));
    // The old keys are kept.
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    EXPECT_EQ(r.cache.fetched_at(), r.now - 100);
}

TEST(RefreshPolicy, ProviderDownWithAStaleCacheKeepsTheOldKeysAndBacksOff) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 3601;
    r.provider.jwks_error = Error::ConnectionFailed;
    const size_t mark = r.mark();
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    EXPECT_EQ(r.since(mark), (std::vector<std::string>{
                                 "info(oidc_store): refreshing JWKS from https://idp.example/jwks",
                                 "error(oidc_store): JWKS fetch failed: error.ConnectionFailed",
                                 "error(oidc_store): JWKS stale refresh failed",
                             }));
    EXPECT_TRUE(r.cache.unavailable());
    // Attempts at +30, +60 (after 30 s), +120, +240, +480 and then every 300 s;
    // lookups and kid misses in between ask nothing.
    const int64_t start = r.now;
    std::vector<int64_t> fetched;
    for (int64_t t = 0; t <= 1800; t += 5) {
        r.now = start + t;
        const size_t before = r.provider.jwks_fetches();
        (void)r.cache.find_key(t % 10 ? "a" : "missing");
        if (r.provider.jwks_fetches() != before) fetched.push_back(t);
    }
    EXPECT_EQ(fetched, (std::vector<int64_t>{30, 90, 210, 450, 750, 1050, 1350, 1650}));
    // A success ends the back-off.
    r.provider.jwks_error.reset();
    r.now = start + 1950;
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    EXPECT_FALSE(r.cache.unavailable());
    EXPECT_EQ(r.cache.fetched_at(), r.now);
}

TEST(RefreshPolicy, AnAnswerWithoutUsableKeysKeepsTheGoodSet) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    for (const std::string& doc :
         {std::string(), std::string(R"({"keys":[]})"),
          jwks({R"({"kty":"oct","k":"AA","kid":"a"})"}), std::string("{\"keys\":")}) {
        r.provider.jwks_doc = doc;
        EXPECT_FALSE(r.cache.refresh_jwks()) << doc;
        EXPECT_EQ(r.cache.key_count(), 1u);
        ASSERT_NE(r.cache.find_key("a"), nullptr);
    }
    EXPECT_TRUE(r.log.contains(
        "warn(oidc_store): JWKS: no usable keys in the answer, keeping the 1 cached keys"));
    EXPECT_FALSE(r.cache.unavailable());
}

// A signed input and its signature, base64url.
struct Signed {
    std::string input = "eyJhbGciOiJFZERTQSJ9.eyJzdWIiOiJhIn0";
    std::string rsa_sig = b64url(testutil::sign_rs256(rsa_key(), input));
    std::string ed_sig = b64url(testutil::sign_eddsa(ed_key(), input));
};

JwkEntry rsa_entry(const testutil::TestKey& k) {
    return JwkEntry{.kid = "r", .n = k.n, .e = k.e, .x = {}, .kind = JwkKind::rsa, .key = {}};
}
JwkEntry ed_entry(std::string_view x) {
    return JwkEntry{
        .kid = "e", .n = {}, .e = {}, .x = std::string(x), .kind = JwkKind::okp, .key = {}};
}

TEST(Verify, Rs256) {
    const Signed s;
    JwkEntry e = rsa_entry(rsa_key());
    EXPECT_TRUE(verify_rs256(s.input, s.rsa_sig, e));
    EXPECT_NE(e.key, nullptr);  // built once, kept
    EXPECT_TRUE(verify_rs256(s.input, s.rsa_sig, e));
    EXPECT_FALSE(verify_rs256(s.input + "x", s.rsa_sig, e));
    EXPECT_FALSE(verify_rs256(s.input, "", e));
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig + "A", e));
    EXPECT_FALSE(verify_rs256(s.input, s.ed_sig, e));
    JwkEntry other = rsa_entry(testutil::other_rsa_key());
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig, other));
    // An RSA key never checks an EdDSA signature, nor the other way round.
    JwkEntry ed = ed_entry(ed_key().x);
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig, ed));
    EXPECT_FALSE(verify_eddsa(s.input, s.ed_sig, e));
}

TEST(Verify, Rs256SignatureOver512BytesNeverVerifies) {
    const Signed s;
    JwkEntry e = rsa_entry(rsa_key());
    std::string raw(513, '\0');
    EXPECT_FALSE(verify_rs256(s.input, b64url(raw), e));
    // A leading zero byte makes the same number but not a valid signature.
    std::string sig = testutil::sign_rs256(rsa_key(), s.input);
    EXPECT_FALSE(verify_rs256(s.input, b64url(std::string(1, '\0') + sig), e));
}

TEST(Verify, UndecodableMaterialFailsOnlyTheCheck) {
    const Signed s;
    JwkEntry bad_n{.kid = "r", .n = "*", .e = "AQAB", .x = {}, .kind = JwkKind::rsa, .key = {}};
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig, bad_n));
    EXPECT_TRUE(bad_n.key_failed);
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig, bad_n));
    const std::string e17 = b64url(std::string(17, '\1'));
    JwkEntry big_e{
        .kid = "r", .n = rsa_key().n, .e = e17, .x = {}, .kind = JwkKind::rsa, .key = {}};
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig, big_e));
}

TEST(Verify, EdDsa) {
    const Signed s;
    JwkEntry e = ed_entry(ed_key().x);
    EXPECT_TRUE(verify_eddsa(s.input, s.ed_sig, e));
    EXPECT_TRUE(verify_eddsa(s.input, s.ed_sig, e));
    EXPECT_FALSE(verify_eddsa(s.input + "x", s.ed_sig, e));
    EXPECT_FALSE(verify_eddsa(s.input, s.ed_sig.substr(0, s.ed_sig.size() - 2), e));
    EXPECT_FALSE(verify_eddsa(s.input, "", e));
    JwkEntry other = ed_entry(testutil::other_ed_key().x);
    EXPECT_FALSE(verify_eddsa(s.input, s.ed_sig, other));
}

TEST(Verify, Ed25519KeyOf31BytesNeverVerifies) {
    const Signed s;
    unsigned char raw[32];
    ASSERT_EQ(*base64url_decode(ed_key().x, raw, sizeof raw), 32u);
    const std::string short_x = b64url(std::string_view(reinterpret_cast<char*>(raw), 31));
    JwkEntry e = ed_entry(short_x);
    EXPECT_FALSE(verify_eddsa(s.input, s.ed_sig, e));
    EXPECT_TRUE(e.key_failed);
}

TEST(Verify, BuiltKeysGoWithTheDocument) {
    CacheRig r;
    const Signed s;
    r.provider.jwks_doc = jwks({rsa_jwk("k", rsa_key())});
    JwkEntry* e = r.cache.find_key("k");
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(verify_rs256(s.input, s.rsa_sig, *e));
    // The provider puts another key under the same kid: after the refresh
    // the old built key must not be used any more.
    r.provider.jwks_doc = jwks({rsa_jwk("k", testutil::other_rsa_key())});
    ASSERT_TRUE(r.cache.refresh_jwks());
    e = r.cache.find_key("k");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->key, nullptr);
    EXPECT_EQ(e->verifier, nullptr);
    EXPECT_FALSE(verify_rs256(s.input, s.rsa_sig, *e));
    EXPECT_TRUE(verify_rs256(s.input,
                             b64url(testutil::sign_rs256(testutil::other_rsa_key(), s.input)), *e));
}

}  // namespace
}  // namespace fenra::oidc
