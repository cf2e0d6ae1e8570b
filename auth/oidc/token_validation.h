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
#include <memory>
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
// buffers and stay valid until the next validation.
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

class TokenValidator {
  public:
    // The references must outlive the validator (the backend owns them).
    TokenValidator(const OidcConfig& config, const HttpsTransport& transport,
                   const WallClock& clock, JwksCache& jwks);
    ~TokenValidator();
    TokenValidator(const TokenValidator&) = delete;
    TokenValidator& operator=(const TokenValidator&) = delete;

    // Blocks for a JWKS refresh or an introspection request.
    TokenCheck validate(std::string_view token);

  private:
    TokenCheck validate_jwt(const JwtParts& parts);
    TokenCheck introspect(std::string_view token);
    TokenCheck identify(std::string_view scope_text, std::string_view name,
                        std::string_view picture);

    const OidcConfig& config_;
    const HttpsTransport& transport_;
    const WallClock& clock_;
    JwksCache& jwks_;

    std::unique_ptr<DecodedJwt> jwt_;
    JsonParser header_json_{kMaxJwtHeader};
    JsonParser payload_json_{kMaxJwtPayload};
    JsonParser answer_json_{kMaxResponse};

    Username username_;
    char picture_[kMaxPicture];
    size_t picture_len_ = 0;
};

}  // namespace fenra::oidc
