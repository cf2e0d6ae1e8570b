// Token validation through the backend with a scripted provider and clock:
// the JWT checks in their order with their log lines, the attacks that must
// fail, and the introspection path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/oidc/oidc_backend.h"
#include "tests/auth/log_capture.h"
#include "tests/tokens/token_fixture.h"

namespace fenra::oidc {
namespace {

using testutil::b64url;
using testutil::ed_key;
using testutil::jwt_eddsa;
using testutil::jwt_rs256;
using testutil::rsa_key;

constexpr int64_t kNow = 1'800'000'000;
const std::string kRsaHeader = R"({"alg":"RS256","typ":"JWT","kid":"rsa-1"})";
const std::string kEdHeader = R"({"alg":"EdDSA","typ":"JWT","kid":"ed-1"})";

// A payload the backend accepts, with members replaced or added.
std::string claims(const std::string& extra = "", const std::string& exp = "1800000600",
                   const std::string& iss = "\"https://idp.example\"",
                   const std::string& aud = "\"fenra-xmpp\"") {
    std::string p = "{\"iss\":" + iss + ",\"sub\":\"user-1\"";
    if (!aud.empty()) p += ",\"aud\":" + aud;
    if (!exp.empty()) p += ",\"exp\":" + exp;
    p += ",\"preferred_username\":\"alice\",\"email\":\"alice@example.org\"";
    return p + extra + "}";
}

struct BackendRig {
    OidcConfig config = testutil::test_config();
    testutil::ScriptedProvider provider;
    int64_t now = kNow;
    OidcBackend backend{config};
    testutil::LogCapture log;

    explicit BackendRig(bool introspection = true) {
        if (!introspection) config.introspection_endpoint.reset();
        provider.jwks_doc = testutil::jwks(
            {testutil::rsa_jwk("rsa-1", rsa_key()), testutil::okp_jwk("ed-1", ed_key())});
        backend.set_transport(provider.transport());
        backend.set_clock([this] { return now; });
    }

    // "ok USER PICTURE" or "rejected".
    std::string validate(std::string_view token) {
        const auto id = backend.validate_token(token);
        if (!id) return "rejected";
        return "ok " + std::string(id->username) + " " + std::string(id->picture);
    }

    // The backend's own lines (scope oidc_store) since the rig was made,
    // without the JWKS fetch lines.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& l : log.lines())
            if (l.find("JWKS") == std::string::npos) out.push_back(l);
        return out;
    }
    std::string last_line() const {
        const auto l = lines();
        return l.empty() ? "" : l.back();
    }
};

TEST(JwtLogin, Rs256AndEdDsaTokens) {
    BackendRig r;
    EXPECT_EQ(r.validate(jwt_rs256(rsa_key(), kRsaHeader, claims())), "ok alice ");
    EXPECT_EQ(r.validate(jwt_eddsa(ed_key(), kEdHeader, claims())), "ok alice ");
    EXPECT_EQ(r.lines(), (std::vector<std::string>{
                             "info(oidc_store): OAUTHBEARER: validated token for 'alice'",
                             "info(oidc_store): OAUTHBEARER: validated token for 'alice'",
                         }));
    EXPECT_EQ(r.provider.jwks_fetches(), 1u);
}

TEST(JwtLogin, UsernameAndPicture) {
    BackendRig r;
    auto token = [](const std::string& body) { return jwt_eddsa(ed_key(), kEdHeader, body); };
    const std::string base = R"({"iss":"https://idp.example","aud":"fenra-xmpp","sub":"s")";
    EXPECT_EQ(r.validate(token(base + R"(,"preferred_username":"bob@chat.example"})")), "ok bob ");
    EXPECT_EQ(r.validate(token(base + R"(,"email":"carol@example.org"})")), "ok carol ");
    EXPECT_EQ(r.validate(token(base + R"(,"preferred_username":"","email":"dave@x"})")),
              "ok dave ");
    EXPECT_EQ(r.validate(token(base + R"(,"preferred_username":"a\"b"})")), "ok a\\\"b ");

    EXPECT_EQ(r.validate(token(base + "}")), "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): OAUTHBEARER: no username in token claims");
    EXPECT_EQ(r.validate(token(base + R"(,"email":"@example.org"})")), "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): OAUTHBEARER: no username in token claims");

    const std::string name256(256, 'n');
    EXPECT_EQ(r.validate(token(base + R"(,"preferred_username":")" + name256 + "@x\"}")),
              "ok " + name256 + " ");
    // One byte more is refused without a line of its own.
    const size_t before = r.lines().size();
    EXPECT_EQ(r.validate(token(base + R"(,"preferred_username":")" + name256 + "n\"}")),
              "rejected");
    EXPECT_EQ(r.lines().size(), before);

    const std::string pic512(512, 'p');
    EXPECT_EQ(r.validate(token(base + R"(,"email":"e@x","picture":")" + pic512 + "\"}")),
              "ok e " + pic512);
    EXPECT_EQ(r.validate(token(base + R"(,"email":"e@x","picture":")" + pic512 + "p\"}")), "ok e ");
    EXPECT_EQ(r.validate(token(base + R"(,"email":"e@x","picture":""})")), "ok e ");
    EXPECT_EQ(r.validate(token(base + R"(,"email":"e@x","picture":"https://p/e.png"})")),
              "ok e https://p/e.png");
}

TEST(JwtLogin, Expiry) {
    BackendRig r;
    auto token = [](const std::string& exp) {
        return jwt_rs256(rsa_key(), kRsaHeader, claims("", exp));
    };
    EXPECT_EQ(r.validate(token(std::to_string(kNow))), "ok alice ");
    EXPECT_EQ(r.validate(token(std::to_string(kNow - 1))), "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): OAUTHBEARER: token expired for sub='user-1'");
    // Without "exp", or with one that does not read as digits, the token
    // does not expire.
    EXPECT_EQ(r.validate(token("")), "ok alice ");
    EXPECT_EQ(r.validate(token("\"1\"")), "ok alice ");
    EXPECT_EQ(r.validate(token("-1")), "ok alice ");
    // A claim whose value spells "exp" does not hide the real member.
    EXPECT_EQ(r.validate(jwt_rs256(rsa_key(), kRsaHeader,
                                   R"({"name":"exp","exp":1,"iss":"https://idp.example",)"
                                   R"("preferred_username":"alice"})")),
              "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): OAUTHBEARER: token expired for sub=''");
}

TEST(JwtLogin, IssuerMustMatchExactly) {
    BackendRig r;
    EXPECT_EQ(r.validate(jwt_rs256(rsa_key(), kRsaHeader,
                                   claims("", "1800000600", "\"https://idp.example/\""))),
              "rejected");
    EXPECT_EQ(r.last_line(),
              "info(oidc_store): OAUTHBEARER: issuer mismatch: got 'https://idp.example/', "
              "expected 'https://idp.example'");
    EXPECT_EQ(r.validate(jwt_rs256(rsa_key(), kRsaHeader, claims("", "1800000600", "5"))),
              "rejected");
    EXPECT_EQ(r.last_line(),
              "info(oidc_store): OAUTHBEARER: issuer mismatch: got '', expected "
              "'https://idp.example'");
    // The issuer is checked before any key is fetched.
    EXPECT_EQ(r.provider.jwks_fetches(), 0u);
}

TEST(JwtLogin, Audience) {
    BackendRig r;
    auto token = [](const std::string& aud) {
        return jwt_eddsa(ed_key(), kEdHeader,
                         claims("", "1800000600", "\"https://idp.example\"", aud));
    };
    EXPECT_EQ(r.validate(token("\"other-client\"")), "rejected");
    EXPECT_EQ(r.last_line(),
              "info(oidc_store): OAUTHBEARER: audience mismatch: got 'other-client', expected "
              "'fenra-xmpp'");
    // An array must hold the client id.
    EXPECT_EQ(r.validate(token(R"(["other-client","third"])")), "rejected");
    EXPECT_EQ(
        r.last_line(),
        "info(oidc_store): OAUTHBEARER: audience mismatch: got '[\"other-client\",\"third\"]', "
        "expected 'fenra-xmpp'");
    EXPECT_EQ(r.validate(token(R"(["other-client","fenra-xmpp"])")), "ok alice ");
    EXPECT_EQ(r.validate(token("")), "ok alice ");  // no audience: not compared
    // A claim whose value spells "aud" does not hide the real member.
    EXPECT_EQ(r.validate(jwt_eddsa(ed_key(), kEdHeader,
                                   claims(R"(,"aud":"other-client")", "1800000600",
                                          "\"https://idp.example\",\"name\":\"aud\"", ""))),
              "rejected");
    EXPECT_EQ(r.provider.jwks_fetches(), 1u);
}

TEST(JwtAttack, AlgNoneWithoutSignature) {
    BackendRig r;
    for (const char* header : {R"({"alg":"none","kid":"rsa-1"})", R"({"alg":"none","kid":"ed-1"})",
                               R"({"alg":"none"})"}) {
        const std::string token = b64url(header) + "." + b64url(claims()) + ".";
        EXPECT_EQ(r.validate(token), "rejected") << header;
    }
    EXPECT_EQ(r.lines(), (std::vector<std::string>{
                             "info(oidc_store): OAUTHBEARER: signature verification failed for "
                             "sub='user-1'",
                             "info(oidc_store): OAUTHBEARER: signature verification failed for "
                             "sub='user-1'",
                             "info(oidc_store): OAUTHBEARER: no matching key for kid=''",
                         }));
}

TEST(JwtAttack, Hs256KeyedWithTheRsaPublicKey) {
    BackendRig r;
    const std::string input =
        b64url(R"({"alg":"HS256","typ":"JWT","kid":"rsa-1"})") + "." + b64url(claims());
    // Every spelling of the public key an attacker might use as HMAC key.
    for (const std::string& key :
         {rsa_key().n, testutil::rsa_jwk("rsa-1", rsa_key()), r.provider.jwks_doc}) {
        const std::string token = input + "." + b64url(testutil::hmac_sha256(key, input));
        EXPECT_EQ(r.validate(token), "rejected");
        EXPECT_EQ(r.last_line(),
                  "info(oidc_store): OAUTHBEARER: signature verification failed for sub='user-1'");
    }
}

TEST(JwtAttack, KeyNotInTheJwks) {
    BackendRig r;
    EXPECT_EQ(r.validate(jwt_rs256(testutil::other_rsa_key(), kRsaHeader, claims())), "rejected");
    EXPECT_EQ(r.last_line(),
              "info(oidc_store): OAUTHBEARER: signature verification failed for sub='user-1'");
    EXPECT_EQ(r.validate(jwt_eddsa(testutil::other_ed_key(), kEdHeader, claims())), "rejected");
    EXPECT_EQ(r.validate(jwt_rs256(testutil::other_rsa_key(),
                                   R"({"alg":"RS256","kid":"attacker-key"})", claims())),
              "rejected");
    EXPECT_EQ(r.last_line(),
              "info(oidc_store): OAUTHBEARER: no matching key for kid='attacker-key'");
    // An RSA signature under the Ed25519 key's kid, and the other way round.
    EXPECT_EQ(r.validate(jwt_rs256(rsa_key(), kEdHeader, claims())), "rejected");
    EXPECT_EQ(r.validate(jwt_eddsa(ed_key(), kRsaHeader, claims())), "rejected");
}

TEST(JwtAttack, TamperedPayload) {
    BackendRig r;
    const std::string good = jwt_rs256(rsa_key(), kRsaHeader, claims());
    const size_t dot1 = good.find('.'), dot2 = good.rfind('.');
    const std::string tampered =
        good.substr(0, dot1 + 1) +
        b64url(claims(R"(,"x":1)").replace(claims().find("alice"), 5, "admin")) + good.substr(dot2);
    EXPECT_EQ(r.validate(tampered), "rejected");
    EXPECT_EQ(r.last_line(),
              "info(oidc_store): OAUTHBEARER: signature verification failed for sub='user-1'");
    // A signature from a token of another user does not carry over.
    const std::string bob =
        jwt_rs256(rsa_key(), kRsaHeader, claims().replace(claims().find("alice"), 5, "bob"));
    EXPECT_EQ(r.validate(bob.substr(0, bob.rfind('.')) + good.substr(dot2)), "rejected");
    EXPECT_EQ(r.validate(good), "ok alice ");
}

TEST(JwtParse, FailuresGoToIntrospection) {
    BackendRig r(false);
    EXPECT_EQ(r.validate("a.b.c.d"), "rejected");
    EXPECT_EQ(r.validate("not-a-jwt"), "rejected");
    const std::string big_header = b64url("{\"kid\":\"" + std::string(600, 'k') + "\"}");
    EXPECT_EQ(r.validate(big_header + "." + b64url(claims()) + ".sig"), "rejected");
    EXPECT_EQ(r.validate("e30.e30*.sig"), "rejected");
    const std::string dash = "\xE2\x80\x94";
    EXPECT_EQ(r.lines(),
              (std::vector<std::string>{
                  "info(oidc_store): OAUTHBEARER: JWT parse failed (error.InvalidFormat) " + dash +
                      " trying introspection",
                  "info(oidc_store): OAUTHBEARER: no introspection endpoint configured",
                  "info(oidc_store): OAUTHBEARER: JWT parse failed (error.InvalidFormat) " + dash +
                      " trying introspection",
                  "info(oidc_store): OAUTHBEARER: no introspection endpoint configured",
                  "info(oidc_store): OAUTHBEARER: JWT parse failed (error.InvalidBase64) " + dash +
                      " trying introspection",
                  "info(oidc_store): OAUTHBEARER: no introspection endpoint configured",
                  "info(oidc_store): OAUTHBEARER: JWT parse failed (error.InvalidBase64) " + dash +
                      " trying introspection",
                  "info(oidc_store): OAUTHBEARER: no introspection endpoint configured",
              }));
    EXPECT_TRUE(r.provider.calls.empty());
}

TEST(JwtParse, CheckFailuresDoNotFallBackToIntrospection) {
    BackendRig r;
    r.provider.introspection_doc = R"({"active":true,"username":"mallory"})";
    EXPECT_EQ(r.validate(jwt_rs256(rsa_key(), kRsaHeader, claims("", "1"))), "rejected");
    EXPECT_EQ(r.validate(jwt_rs256(testutil::other_rsa_key(), kRsaHeader, claims())), "rejected");
    for (const auto& c : r.provider.calls)
        EXPECT_EQ(c.method, "GET");
}

TEST(Introspection, ActiveTokenAndTheRequest) {
    BackendRig r;
    r.provider.introspection_doc = R"({"active": true,"sub":"user-1","username":"bob@x"})";
    EXPECT_EQ(r.validate("opaque token&=+"), "ok bob ");
    EXPECT_EQ(r.last_line(), "info(oidc_store): OAUTHBEARER: introspection validated for 'bob'");
    ASSERT_EQ(r.provider.calls.size(), 1u);
    const auto& call = r.provider.calls[0];
    EXPECT_EQ(call.method, "POST");
    EXPECT_EQ(call.url, "https://idp.example/introspect");
    EXPECT_EQ(call.body,
              "token=opaque%20token%26%3D%2B&client_id=fenra-xmpp&client_secret=s3cret%26%3D%2B");
    EXPECT_EQ(call.content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(call.ca_file, "/etc/fenra/idp-ca.pem");

    r.provider.introspection_doc = R"({"active":true,"sub":"carol@example.org"})";
    EXPECT_EQ(r.validate("opaque"), "ok carol ");
    // The token and the client secret never reach the log.
    EXPECT_EQ(r.log.text().find("opaque"), std::string::npos);
    EXPECT_EQ(r.log.text().find("s3cret"), std::string::npos);
}

TEST(Introspection, PictureIsClearedAfterAJwtLogin) {
    BackendRig r;
    const auto jwt = jwt_eddsa(ed_key(), kEdHeader, claims(R"(,"picture":"https://p/a.png")"));
    EXPECT_EQ(r.validate(jwt), "ok alice https://p/a.png");
    r.provider.introspection_doc = R"({"active":true,"username":"alice"})";
    EXPECT_EQ(r.validate("opaque"), "ok alice ");
}

TEST(Introspection, Refusals) {
    BackendRig r;
    r.provider.introspection_doc = R"({"active":false,"username":"alice"})";
    EXPECT_EQ(r.validate("opaque"), "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): introspection: token is not active");

    r.provider.introspection_doc = R"({"active":true,"scope":"x"})";
    EXPECT_EQ(r.validate("opaque"), "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): introspection: no username in response");

    r.provider.introspection_doc = R"({"active":true,"username":"@x"})";
    EXPECT_EQ(r.validate("opaque"), "rejected");

    r.provider.introspection_doc = R"({"active":true,"username":")" + std::string(257, 'u') + "\"}";
    EXPECT_EQ(r.validate("opaque"), "rejected");

    r.provider.introspection_status = 401;
    EXPECT_EQ(r.validate("opaque"), "rejected");
    EXPECT_EQ(r.last_line(), "info(oidc_store): introspection: endpoint returned 401");

    r.provider.introspection_error = Error::TlsHandshakeFailed;
    EXPECT_EQ(r.validate("opaque"), "rejected");
    EXPECT_EQ(r.last_line(),
              "error(oidc_store): introspection: HTTP request failed: error.TlsHandshakeFailed");

    // A token too long for the 4096-byte body is refused without a request.
    const size_t calls = r.provider.calls.size();
    EXPECT_EQ(r.validate(std::string(4000, '%')), "rejected");
    EXPECT_EQ(r.provider.calls.size(), calls);
}

}  // namespace
}  // namespace fenra::oidc
