// OAUTHBEARER tokens. A token of the JWT form (two dots) is checked here and
// nowhere else: strict base64url, header and payload parsed as JSON objects
// with typed members, no "crit", a "typ" that marks an access token, expiry
// (required), "nbf" and "iat" with a small leeway, issuer, audience, the key
// for its "kid" with the algorithm that key type signs with, the signature,
// and a username in our domain. Any other token goes to the provider's
// introspection endpoint, when one is configured (RFC 7662).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/json_doc.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/oidc_config.h"
#include "auth/oidc/outcome.h"
#include "auth/oidc/username.h"
#include "runtime/result.h"

namespace fenra::oidc {

inline constexpr size_t kMaxJwtHeader = 512;    // decoded
inline constexpr size_t kMaxJwtPayload = 4096;  // decoded
inline constexpr size_t kMaxPicture = 512;
inline constexpr size_t kIntrospectionBodyCap = 4096;
inline constexpr int64_t kClockLeeway = 60;  // seconds, for exp, nbf and iat

// The account a token names. The views point into the validator's own
// buffers and are valid during the call that hands them on.
struct TokenIdentity {
    std::string_view username;
    std::string_view picture;
};

struct TokenCheck {
    Outcome outcome = Outcome::rejected;
    TokenIdentity identity;  // when accepted
};

// The three parts of a JWT (exactly two dots), and the signing input: the
// first two parts with the dot between them. InvalidFormat otherwise.
struct JwtParts {
    std::string_view header;
    std::string_view payload;
    std::string_view signature;
    std::string_view signing_input;
};
Result<JwtParts> split_jwt(std::string_view token);

// Header and payload decoded from base64url (each followed by the parser's
// padding); InvalidBase64 when either does not decode, BufferTooSmall when
// either is over its limit.
struct DecodedJwt {
    unsigned char header_buf[kMaxJwtHeader + kJsonPadding];
    size_t header_len = 0;
    unsigned char payload_buf[kMaxJwtPayload + kJsonPadding];
    size_t payload_len = 0;

    std::string_view header() const {
        return {reinterpret_cast<const char*>(header_buf), header_len};
    }
    std::string_view payload() const {
        return {reinterpret_cast<const char*>(payload_buf), payload_len};
    }
};
Result<void> decode_jwt(const JwtParts& parts, DecodedJwt& out);

// A copy of a secret string, wiped when it goes.
struct SecretCopy {
    std::string text;
    explicit SecretCopy(std::string_view s) : text(s) {}
    ~SecretCopy();
    SecretCopy(const SecretCopy&) = delete;
    SecretCopy& operator=(const SecretCopy&) = delete;
};

class TokenValidator {
  public:
    using Done = std::function<void(const TokenCheck&)>;

    // The references must outlive the validator (the backend owns them).
    TokenValidator(const OidcConfig& config, HttpsTransport& transport, const WallClock& clock,
                   JwksCache& jwks);
    ~TokenValidator();
    TokenValidator(const TokenValidator&) = delete;
    TokenValidator& operator=(const TokenValidator&) = delete;

    // Checks a token and calls done with the result: at once when the cached
    // keys judge it, else when the JWKS refresh it needs or its
    // introspection ends. Returns 0 when done was called at once, else the
    // check's number for cancel().
    uint64_t validate(std::string_view token, Done done);
    // Forgets a check in progress: done is not called.
    void cancel(uint64_t check);

  private:
    struct Waiting {
        bool jwks;    // waiting for the JWKS refresh, else introspection
        uint64_t id;  // the cache's wait or the exchange
    };

    // The checks before the key: a result, or nullopt with the kid to look up.
    std::optional<TokenCheck> check_claims(const JwtParts& parts, std::string_view& kid);
    TokenCheck check_key(const JwtParts& parts, std::string_view kid, JwkEntry* key);
    uint64_t introspect(std::string_view token, Done done);
    TokenCheck judge_introspection(const Result<HttpsResponse>& r);
    TokenCheck identify(std::string_view scope_text, std::string_view name,
                        std::string_view picture);
    // Calls done unless the check was cancelled.
    void finish(uint64_t check, const Done& done, const TokenCheck& result);

    const OidcConfig& config_;
    HttpsTransport& transport_;
    const WallClock& clock_;
    JwksCache& jwks_;

    std::unique_ptr<DecodedJwt> jwt_;
    JsonParser header_json_{kMaxJwtHeader};
    JsonParser payload_json_{kMaxJwtPayload};
    JsonParser answer_json_{kMaxResponse};

    // The claims after check_claims, views into the parsers.
    std::string_view alg_, sub_, name_, picture_claim_;
    bool email_unverified_ = false;
    int64_t checked_at_ = 0;     // the clock when check_claims read them
    uint64_t checking_now_ = 0;  // the check whose claims the parsers hold now
    std::string_view kid_now_;

    std::map<uint64_t, Waiting> waiting_;
    uint64_t last_check_ = 0;

    Username username_;
    char picture_[kMaxPicture];
    size_t picture_len_ = 0;
};

}  // namespace fenra::oidc
