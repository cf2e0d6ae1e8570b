// Token validation through the backend with a scripted provider and clock:
// the JWT checks with their log lines, the tokens that must fail, and the
// introspection path.
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

    // "ok USER PICTURE", "rejected" or "unavailable".
    std::string validate(std::string_view token) {
        std::string out = "not answered";
        backend.check_token(token, [&out](const TokenCheck& c) {
            if (c.outcome == Outcome::rejected) {
                out = "rejected";
            } else if (c.outcome == Outcome::unavailable) {
                out = "unavailable";
            } else {
                out = "ok " + std::string(c.identity.username) + " " +
                      std::string(c.identity.picture);
            }
        });
        return out;
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

// A table of tokens: payload (or a whole token) and the line it ends with.
struct TokenCase {
    std::string payload;
    std::string want;  // "ok USER PICTURE" or the last oidc_store line
};

void run_cases(BackendRig& r, const std::vector<TokenCase>& cases,
               const std::string& header = kEdHeader) {
    for (const TokenCase& c : cases) {
        const std::string got = r.validate(jwt_eddsa(ed_key(), header, c.payload));
        EXPECT_EQ(got.starts_with("ok ") ? got : r.last_line(), c.want) << c.payload;
    }
}

const std::string kLine = "info(oidc_store): OAUTHBEARER: ";

TEST(JwtLogin, UsernameOfOurDomainOnly) {
    BackendRig r;
    r.config.user_domain = "Chat.Example";
    const std::string base =
        R"({"iss":"https://idp.example","aud":"fenra-xmpp","sub":"s","exp":1800000600)";
    const std::string foreign = kLine + "username not in our domain";
    run_cases(
        r,
        {
            {base + R"(,"preferred_username":"Bob@chat.example"})", "ok bob "},
            {base + R"(,"preferred_username":"BOB"})", "ok bob "},
            {base + R"(,"preferred_username":"alice@evil.example"})", foreign},
            {base + R"(,"preferred_username":"alice@chat.example@x"})",
             kLine + "unusable username in token claims"},
            {base + R"(,"preferred_username":"a b"})", kLine + "unusable username in token claims"},
            {base + R"(,"email":"carol@chat.example","email_verified":true})", "ok carol "},
            {base + R"(,"email":"carol@chat.example"})", foreign},
            {base + R"(,"email":"carol@chat.example","email_verified":false})", foreign},
            {base + R"(,"email":"carol@chat.example","email_verified":"true"})",
             kLine + "malformed JWT claims (error.InvalidFormat)"},
            {base + R"(,"email":"carol@evil.example","email_verified":true})", foreign},
            {base + R"(,"preferred_username":"","email":"d@chat.example",)"
                    R"("email_verified":true})",
             "ok d "},
            {base + "}", kLine + "no username in token claims"},
            {base + R"(,"preferred_username":5})",
             kLine + "malformed JWT claims (error.InvalidFormat)"},
        });
    // Without a user domain every name that carries one is refused.
    r.config.user_domain.reset();
    run_cases(r, {{base + R"(,"preferred_username":"bob@chat.example"})", foreign},
                  {base + R"(,"preferred_username":"bob"})", "ok bob "}});
}

TEST(JwtLogin, Picture) {
    BackendRig r;
    const std::string base = claims().substr(0, claims().size() - 1);
    const std::string pic512(512, 'p');
    run_cases(r, {
                     {base + R"(,"picture":")" + pic512 + "\"}", "ok alice " + pic512},
                     {base + R"(,"picture":")" + pic512 + "p\"}", "ok alice "},
                     {base + R"(,"picture":"https://p/e.png"})", "ok alice https://p/e.png"},
                 });
}

TEST(JwtLogin, TimesAndIssuer) {
    BackendRig r;
    auto with = [](const std::string& extra, const std::string& exp = "1800000600") {
        return claims(extra, exp);
    };
    const std::string now = std::to_string(kNow);
    const std::string expired = kLine + "token expired for sub='user-1'";
    const std::string early = kLine + "token not yet valid for sub='user-1'";
    const std::string bad = kLine + "malformed JWT claims (error.InvalidFormat)";
    run_cases(r, {
                     {with("", std::to_string(kNow - 60)), "ok alice "},  // the leeway
                     {with("", std::to_string(kNow - 61)), expired},
                     {with("", ""), kLine + "token without expiry for sub='user-1'"},
                     {with("", "\"1900000000\""), bad},
                     {with("", "-1"), bad},
                     {with("", "1e300"), bad},
                     {with("", "null"), bad},
                     {with(",\"nbf\":" + std::to_string(kNow + 60)), "ok alice "},
                     {with(",\"nbf\":" + std::to_string(kNow + 61)), early},
                     {with(",\"iat\":" + std::to_string(kNow + 61)), early},
                     {with(",\"iat\":" + now + ",\"nbf\":" + now), "ok alice "},
                     {with(",\"nbf\":\"0\""), bad},
                     {claims("", "1800000600", "\"https://idp.example/\""),
                      kLine + "issuer mismatch: got 'https://idp.example/', expected "
                              "'https://idp.example'"},
                     {claims("", "1800000600", "5"), bad},
                     {R"({"exp":1800000600,"iss":"https://idp.example","iss":"x"})",
                      kLine + "malformed JWT claims (error.Malformed)"},
                 });
    // A claim whose value spells "exp" does not hide the real member.
    run_cases(r, {{R"({"name":"exp","exp":1,"iss":"https://idp.example"})",
                   kLine + "token expired for sub=''"}});
    // None of these fetched a key.
    EXPECT_EQ(r.provider.jwks_fetches(), 1u);
}

TEST(JwtLogin, AudienceAndType) {
    BackendRig r;
    r.config.audiences = {"fenra-xmpp", "xmpp.example"};
    auto aud = [](const std::string& a, const std::string& extra = "") {
        return claims(extra, "1800000600", "\"https://idp.example\"", a);
    };
    const std::string mismatch = kLine + "audience mismatch: got '";
    const std::string expected = "', expected 'fenra-xmpp,xmpp.example'";
    const std::string bad = kLine + "malformed JWT claims (error.InvalidFormat)";
    run_cases(
        r, {
               {aud("\"xmpp.example\""), "ok alice "},
               {aud(R"(["other","fenra-xmpp"])"), "ok alice "},
               {aud("\"other-client\""), mismatch + "other-client" + expected},
               {aud(R"(["other-client","third"])"),
                mismatch + R"(["other-client","third"])" + expected},
               {aud(""), mismatch + expected},
               {aud("", R"(,"azp":"fenra-xmpp")"), "ok alice "},
               {aud("", R"(,"azp":"other")"), mismatch + "other" + expected},
               {aud("\"other\"", R"(,"azp":"fenra-xmpp")"), mismatch + "other" + expected},
               {aud("null"), bad},
               {aud("5"), bad},
               {aud(R"(["fenra-xmpp",{"aud":"x"}])"), bad},
               // A nested "aud" or one after a newline is not misread.
               {aud("\n\"other\"", R"(,"x":{"aud":"fenra-xmpp"})"), mismatch + "other" + expected},
               {aud("\"fenra-xmpp\"", R"(,"typ":"Bearer")"), "ok alice "},
               {aud("\"fenra-xmpp\"", R"(,"typ":"ID")"), kLine + "token type not accepted: 'ID'"},
               {aud("\"fenra-xmpp\"", R"(,"typ":"Refresh")"),
                kLine + "token type not accepted: 'Refresh'"},
           });
    const std::string good = aud("\"fenra-xmpp\"");
    for (const auto& [header, want] : std::vector<std::pair<std::string, std::string>>{
             {R"({"alg":"EdDSA","typ":"at+JWT","kid":"ed-1"})", "ok alice "},
             {R"({"alg":"EdDSA","kid":"ed-1"})", "ok alice "},
             {R"({"alg":"EdDSA","typ":"JWS","kid":"ed-1"})",
              kLine + "token type not accepted: 'JWS'"},
             {R"({"alg":"EdDSA","kid":"ed-1","crit":["exp"]})",
              kLine + "critical header parameters are not supported"},
             {R"({"alg":"EdDSA","kid":"ed-1","kid":"rsa-1"})",
              kLine + "malformed JWT header (error.Malformed)"},
             {R"({"kid":"ed-1"})", kLine + "malformed JWT header (error.InvalidFormat)"},
             {R"({"alg":"RS256","kid":"ed-1"})",
              kLine + "algorithm 'RS256' does not fit the key for kid='ed-1'"},
         })
        run_cases(r, {{good, want}}, header);
}

TEST(JwtLogin, OversizedOrBadlyEncodedTokensAreRejectedWithoutIntrospection) {
    BackendRig r;
    r.provider.introspection_doc = R"({"active":true,"username":"mallory"})";
    const std::string big = claims(R"(,"x":")" + std::string(kMaxJwtPayload, 'x') + "\"");
    const std::string token = jwt_eddsa(ed_key(), kEdHeader, claims());
    const std::string padded =
        token.substr(0, token.find('.')) + "=" + token.substr(token.find('.'));
    std::string plus = token;
    plus[plus.find('-') != std::string::npos ? plus.find('-') : 0] = '+';
    for (const std::string& t : {jwt_eddsa(ed_key(), kEdHeader, big), padded, plus,
                                 std::string("e30.e30*.sig"), std::string("e30.e30.sig")})
        EXPECT_EQ(r.validate(t), "rejected") << t;
    for (const auto& c : r.provider.calls)
        EXPECT_EQ(c.method, "GET");
}

TEST(JwtAttack, AlgNoneWithoutSignature) {
    BackendRig r;
    for (const char* header : {R"({"alg":"none","kid":"rsa-1"})", R"({"alg":"none","kid":"ed-1"})",
                               R"({"alg":"none"})"}) {
        const std::string token = b64url(header) + "." + b64url(claims()) + ".";
        EXPECT_EQ(r.validate(token), "rejected") << header;
    }
    EXPECT_EQ(r.lines(), (std::vector<std::string>{
                             kLine + "algorithm 'none' does not fit the key for kid='rsa-1'",
                             kLine + "algorithm 'none' does not fit the key for kid='ed-1'",
                             kLine + "no matching key for kid=''",
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
        EXPECT_EQ(r.last_line(), kLine + "algorithm 'HS256' does not fit the key for kid='rsa-1'");
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

TEST(JwtParse, OnlyTokensThatAreNoJwtGoToIntrospection) {
    BackendRig r(false);
    EXPECT_EQ(r.validate("a.b.c.d"), "rejected");
    EXPECT_EQ(r.validate("not-a-jwt"), "rejected");
    EXPECT_EQ(r.validate("e30.e30*.sig"), "rejected");
    const std::string dash = "\xE2\x80\x94";
    EXPECT_EQ(r.lines(), (std::vector<std::string>{
                             kLine + "not a JWT " + dash + " trying introspection",
                             kLine + "no introspection endpoint configured",
                             kLine + "not a JWT " + dash + " trying introspection",
                             kLine + "no introspection endpoint configured",
                             kLine + "malformed JWT (error.InvalidBase64)",
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

TEST(JwtParse, NoKeysFromAnUnreachableProviderIsUnavailable) {
    BackendRig r;
    r.provider.jwks_error = Error::ConnectionFailed;
    EXPECT_EQ(r.validate(jwt_eddsa(ed_key(), kEdHeader, claims())), "unavailable");
    r.provider.jwks_error.reset();
    r.provider.jwks_status = 503;
    r.now += 30;
    EXPECT_EQ(r.validate(jwt_eddsa(ed_key(), kEdHeader, claims())), "unavailable");
    r.provider.jwks_status = 200;
    r.now += 60;
    EXPECT_EQ(r.validate(jwt_eddsa(ed_key(), kEdHeader, claims())), "ok alice ");
}

TEST(Introspection, ActiveTokenAndTheRequest) {
    BackendRig r;
    r.provider.introspection_doc =
        R"({"active": true,"sub":"user-1","client_id":"fenra-xmpp","username":"Bob"})";
    EXPECT_EQ(r.validate("opaque token&=+"), "ok bob ");
    EXPECT_EQ(r.last_line(), kLine + "introspection validated for 'bob'");
    ASSERT_EQ(r.provider.calls.size(), 1u);
    const auto& call = r.provider.calls[0];
    EXPECT_EQ(call.method, "POST");
    EXPECT_EQ(call.url, "https://idp.example/introspect");
    EXPECT_EQ(call.body,
              "token=opaque%20token%26%3D%2B&token_type_hint=access_token&client_id=fenra-xmpp"
              "&client_secret=s3cret%26%3D%2B");
    EXPECT_EQ(call.content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(call.ca_file, "/etc/fenra/idp-ca.pem");
    // The token and the client secret never reach the log.
    EXPECT_EQ(r.log.text().find("opaque"), std::string::npos);
    EXPECT_EQ(r.log.text().find("s3cret"), std::string::npos);
}

TEST(Introspection, PictureIsClearedAfterAJwtLogin) {
    BackendRig r;
    const auto jwt = jwt_eddsa(ed_key(), kEdHeader, claims(R"(,"picture":"https://p/a.png")"));
    EXPECT_EQ(r.validate(jwt), "ok alice https://p/a.png");
    r.provider.introspection_doc = R"({"active":true,"aud":"fenra-xmpp","username":"alice"})";
    EXPECT_EQ(r.validate("opaque"), "ok alice ");
}

TEST(Introspection, Answers) {
    const std::string intro = "info(oidc_store): introspection: ";
    const std::string ours = R"("active":true,"client_id":"fenra-xmpp")";
    const struct {
        std::string doc;
        std::string want;  // "ok USER" or the last line
    } cases[] = {
        {"{" + ours + R"(,"username":"alice","exp":1800000000,"token_type":"Bearer"})",
         "ok alice "},
        {R"({"active":true,"aud":["x","fenra-xmpp"],"client_id":"other","username":"a"})", "ok a "},
        {"{" + ours + R"(,"username":"a","token_type":"access_token","typ":"bearer"})", "ok a "},
        {R"({"active":false,"client_id":"fenra-xmpp","username":"alice"})",
         intro + "token is not active"},
        {R"({"active":"true","client_id":"fenra-xmpp","username":"alice"})",
         intro + "token is not active"},
        {R"({"active":1,"client_id":"fenra-xmpp","username":"alice"})",
         intro + "token is not active"},
        {R"({"active":true,"client_id":"other-client","username":"alice"})",
         intro + "token not issued for us"},
        {R"({"active":true,"username":"alice"})", intro + "token not issued for us"},
        {R"({"active":true,"aud":"other","username":"alice"})", intro + "token not issued for us"},
        {"{" + ours + R"(,"username":"alice","token_type":"refresh_token"})",
         intro + "not an access token"},
        {"{" + ours + R"(,"username":"alice","typ":"ID"})", intro + "not an access token"},
        {"{" + ours + R"(,"username":"alice","exp":1799999900})", intro + "token expired"},
        {"{" + ours + R"(,"username":"alice","exp":"1900000000"})",
         intro + "malformed answer (error.InvalidFormat)"},
        {"{" + ours + R"(,"username":"alice","active":false})",
         intro + "malformed answer (error.Malformed)"},
        {"{" + ours + R"(,"scope":"x"})", intro + "no username in token claims"},
        {"{" + ours + R"(,"username":"alice@example.org"})", kLine + "username not in our domain"},
        {"{" + ours + R"(,"username":")" + std::string(257, 'u') + "\"}",
         intro + "unusable username in token claims"},
        {"active=true", intro + "malformed answer (error.ParseError)"},
    };
    BackendRig r;
    for (const auto& c : cases) {
        r.provider.introspection_doc = c.doc;
        const std::string got = r.validate("opaque");
        EXPECT_EQ(got.starts_with("ok ") ? got : r.last_line(), c.want) << c.doc;
    }
}

TEST(Introspection, ProviderTroubleIsUnavailableOrRejected) {
    BackendRig r;
    r.provider.introspection_doc = R"({"active":true,"client_id":"fenra-xmpp","username":"a"})";
    const struct {
        uint16_t status;
        std::optional<Error> error;
        std::string_view want;
    } cases[] = {
        {401, {}, "rejected"},
        {400, {}, "rejected"},
        {500, {}, "unavailable"},
        {503, {}, "unavailable"},
        {200, Error::TlsHandshakeFailed, "unavailable"},
        {200, Error::ConnectionFailed, "unavailable"},
    };
    for (const auto& c : cases) {
        r.provider.introspection_status = c.status;
        r.provider.introspection_error = c.error;
        EXPECT_EQ(r.validate("opaque"), c.want) << c.status;
    }
    // A token too long for the 4096-byte body is refused without a request.
    const size_t calls = r.provider.calls.size();
    EXPECT_EQ(r.validate(std::string(4000, '%')), "rejected");
    EXPECT_EQ(r.provider.calls.size(), calls);
}

}  // namespace
}  // namespace fenra::oidc
