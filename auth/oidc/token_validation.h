// OAUTHBEARER tokens. A token with the form of a JWT is checked here: expiry,
// issuer, audience, and the signature with the provider's key for its "kid"
// (the key's type picks RS256 or EdDSA; the header's "alg" is not read). A
// token that cannot be taken apart as a JWT goes to the provider's
// introspection endpoint, when one is configured. Claims are read with the
// member extractors of the JWKS cache, not a JSON parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/oidc_config.h"
#include "runtime/result.h"

namespace fenra::oidc {

inline constexpr size_t kMaxJwtHeader = 512;    // decoded
inline constexpr size_t kMaxJwtPayload = 4096;  // decoded
inline constexpr size_t kMaxUsername = 256;
inline constexpr size_t kMaxPicture = 512;
inline constexpr size_t kIntrospectionBodyCap = 4096;

// The account a token names. The views point into the validator's own
// buffers and stay valid until the next validation.
struct TokenIdentity {
    std::string_view username;
    std::string_view picture;
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

// Header and payload decoded from base64url; InvalidBase64 when either does
// not decode or does not fit its buffer.
struct DecodedJwt {
    unsigned char header_buf[kMaxJwtHeader];
    size_t header_len = 0;
    unsigned char payload_buf[kMaxJwtPayload];
    size_t payload_len = 0;

    std::string_view header() const {
        return {reinterpret_cast<const char*>(header_buf), header_len};
    }
    std::string_view payload() const {
        return {reinterpret_cast<const char*>(payload_buf), payload_len};
    }
};
Result<void> decode_jwt(const JwtParts& parts, DecodedJwt& out);

// The number value of the first member named quoted_name: the run of ASCII
// digits after the colon, as a decimal. 0 when the member is absent, no
// digit comes first (a sign, a quote, anything else), or the value exceeds
// the signed 64-bit range.
int64_t json_number_field(std::string_view text, std::string_view quoted_name);

// The "aud" claim against the client id: a string must equal it, an array
// must hold it as one of its string elements; any other form (or none) is
// not compared. shown is the string's content or the array's raw text.
struct AudienceCheck {
    bool ok = true;
    std::string_view shown;
};
AudienceCheck check_audience(std::string_view payload, std::string_view client_id);

// Everything before the first "@", or all of name when it has none.
std::string_view local_part(std::string_view name);

class TokenValidator {
  public:
    // The references must outlive the validator (the backend owns them).
    TokenValidator(const OidcConfig& config, const HttpsTransport& transport,
                   const WallClock& clock, JwksCache& jwks);
    TokenValidator(const TokenValidator&) = delete;
    TokenValidator& operator=(const TokenValidator&) = delete;

    // The identity of a good token; nullopt when it is rejected. Blocks for
    // a JWKS refresh or an introspection request.
    std::optional<TokenIdentity> validate(std::string_view token);

  private:
    std::optional<TokenIdentity> validate_jwt(const JwtParts& parts, const DecodedJwt& jwt);
    std::optional<TokenIdentity> introspect(std::string_view token);
    TokenIdentity keep(std::string_view username, std::string_view picture);

    const OidcConfig& config_;
    const HttpsTransport& transport_;
    const WallClock& clock_;
    JwksCache& jwks_;

    char username_[kMaxUsername];
    size_t username_len_ = 0;
    char picture_[kMaxPicture];
    size_t picture_len_ = 0;
};

}  // namespace fenra::oidc
