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

// The entries point into doc, which must outlive them.
std::vector<JwkEntry> extract(std::string_view doc) {
    std::vector<JwkEntry> out(kMaxJwks);
    out.resize(extract_jwks_keys(doc, out.data(), out.size()));
    return out;
}

TEST(KeyExtraction, MembersComeFromTheKeysOwnObject) {
    // "n" and "e" before "kid", as many providers write them: each key must
    // get its own modulus, not the next key's.
    const std::string doc = R"({"keys":[{"kty":"RSA","n":"AAAA","e":"AQAB","kid":"one"},)"
                            R"({"kty":"RSA","n":"BBBB","e":"AQAB","kid":"two"},)"
                            R"({"x":"CCCC","kid":"three","kty":"OKP","crv":"Ed25519"}]})";
    const auto keys = extract(doc);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].kid, "one");
    EXPECT_EQ(keys[0].n, "AAAA");
    EXPECT_EQ(keys[0].e, "AQAB");
    EXPECT_EQ(keys[0].kind, JwkKind::rsa);
    EXPECT_EQ(keys[1].kid, "two");
    EXPECT_EQ(keys[1].n, "BBBB");
    EXPECT_EQ(keys[2].kid, "three");
    EXPECT_EQ(keys[2].x, "CCCC");
    EXPECT_EQ(keys[2].n, "");
    EXPECT_EQ(keys[2].kind, JwkKind::okp);
}

TEST(KeyExtraction, AKeyMissingAMemberDoesNotBorrowItsNeighbours) {
    const std::string doc = R"({"keys":[{"kty":"RSA","e":"AQAB","kid":"no-n"},)"
                            R"({"kty":"RSA","n":"BBBB","e":"AQAB","kid":"whole"},)"
                            R"({"kid":"no-kty","n":"CCCC","e":"AQAB"},)"
                            R"({"kty":"OKP","kid":"no-x"},{"kty":"OKP","x":"DDDD"}]})";
    const auto keys = extract(doc);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kid, "whole");
}

TEST(KeyExtraction, OnlyRsaAndOkpKeys) {
    const std::string doc = jwks(
        {rsa_jwk("r1", rsa_key()), R"({"kty":"EC","crv":"P-256","x":"AA","y":"BB","kid":"ec"})",
         rsa_jwk("r2", rsa_key()), R"({"kty":"oct","k":"AA","kid":"hmac"})",
         rsa_jwk("r3", rsa_key()), R"({"kty":"rsa","n":"AA","e":"AQAB","kid":"lower"})"});
    const auto keys = extract(doc);
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].kid, "r1");
    EXPECT_EQ(keys[1].kid, "r2");
    EXPECT_EQ(keys[2].kid, "r3");
}

TEST(KeyExtraction, BracesAndNamesInsideStringsAreText) {
    const std::string doc =
        R"({"keys":[{"kty":"RSA","note":"} {\"kid\":\"fake\",","n":"AAAA","e":"AQAB","kid":"real"}]})";
    const auto keys = extract(doc);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kid, "real");
    EXPECT_EQ(keys[0].n, "AAAA");
}

TEST(KeyExtraction, KidKeptRawWithItsEscapes) {
    const auto keys = extract(R"({"keys":[{"kty":"OKP","x":"AAAA","kid":"a\"b"}]})");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kid, R"(a\"b)");
}

TEST(KeyExtraction, TheFirstKidOfAnObjectAndKidsWithoutValue) {
    const auto keys = extract(
        R"({"keys":[{"kid":5,"kty":"OKP","x":"AA","kid":"second"},{"use":"kid","kty":"OKP","x":"BB"}]})");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kid, "second");
    EXPECT_EQ(keys[0].x, "AA");
}

TEST(KeyExtraction, AtMostSixteenKeys) {
    std::vector<std::string> list;
    for (int i = 0; i < 20; ++i)
        list.push_back(R"({"kty":"OKP","x":"AAAA","kid":"k)" + std::to_string(i) + "\"}");
    const std::string doc = jwks(list);
    const auto keys = extract(doc);
    ASSERT_EQ(keys.size(), kMaxJwks);
    EXPECT_EQ(keys[15].kid, "k15");
}

TEST(KeyExtraction, BrokenDocuments) {
    EXPECT_EQ(extract("").size(), 0u);
    EXPECT_EQ(extract("not json at all").size(), 0u);
    EXPECT_EQ(extract(R"({"keys":[{"kty":"OKP","x":"AAAA","kid":"open")").size(), 0u);
    EXPECT_EQ(extract(R"(}}}{"kty":"OKP","x":"AAAA","kid":"k"})").size(), 1u);
    EXPECT_EQ(extract(R"({"kty":"OKP","x":"AAAA","kid":"k)").size(), 0u);
    // Deep nesting holds no keys but does not confuse the ones around it.
    const std::string deep(100, '{');
    const std::string closing(100, '}');
    EXPECT_EQ(extract(deep + R"("kty":"OKP","x":"A","kid":"deep")" + closing +
                      R"({"kty":"OKP","x":"AAAA","kid":"flat"})")
                  .size(),
              1u);
}

// A cache with its own clock and a provider that counts fetches.
struct CacheRig {
    OidcConfig config = testutil::test_config();
    testutil::ScriptedProvider provider;
    HttpsTransport transport = provider.transport();
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

TEST(RefreshPolicy, ProviderDownWithAStaleCacheKeepsTheOldKeys) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.now += 3601;
    r.provider.jwks_error = Error::ConnectionFailed;
    for (int i = 0; i < 3; ++i) {
        const size_t mark = r.mark();
        ASSERT_NE(r.cache.find_key("a"), nullptr);
        EXPECT_EQ(r.since(mark),
                  (std::vector<std::string>{
                      "info(oidc_store): refreshing JWKS from https://idp.example/jwks",
                      "error(oidc_store): JWKS fetch failed: error.ConnectionFailed",
                      "error(oidc_store): JWKS stale refresh failed",
                  }));
    }
    EXPECT_EQ(r.provider.jwks_fetches(), 4u);
}

TEST(RefreshPolicy, EmptyAndKeylessDocumentsReplaceTheCache) {
    CacheRig r;
    r.provider.jwks_doc = jwks({okp_jwk("a", ed_key())});
    ASSERT_NE(r.cache.find_key("a"), nullptr);
    r.provider.jwks_doc = "";
    ASSERT_TRUE(r.cache.refresh_jwks());
    EXPECT_EQ(r.cache.key_count(), 0u);
    EXPECT_EQ(r.cache.document(), "");
    EXPECT_TRUE(r.log.contains("info(oidc_store): JWKS: cached 0 keys"));
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
    return JwkEntry{.kid = "e", .n = {}, .e = {}, .x = x, .kind = JwkKind::okp, .key = {}};
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
