// The OIDC backend: checks PLAIN passwords with the provider's token endpoint
// and OAUTHBEARER tokens as JWTs (with the provider's cached JWKS keys) or by
// introspection. One instance per process; every call blocks the calling
// thread for its HTTPS exchanges.
#pragma once

#include <optional>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/oidc_config.h"
#include "auth/oidc/token_validation.h"

namespace fenra::oidc {

class OidcBackend {
  public:
    explicit OidcBackend(const OidcConfig& config);
    OidcBackend(const OidcBackend&) = delete;
    OidcBackend& operator=(const OidcBackend&) = delete;

    // Whether the provider accepts the password for the (normalised) user.
    Outcome validate_password(std::string_view username, std::string_view password);

    // The identity of a good token. The views point into the backend and stay
    // valid until the next call on it.
    TokenCheck validate_token(std::string_view token);

    // Replaces the HTTPS transport (unit tests give a scripted one).
    void set_transport(HttpsTransport transport) { transport_ = std::move(transport); }
    // Replaces the wall clock (seconds since 1970) of expiry checks and the
    // JWKS refresh policy.
    void set_clock(WallClock clock) { clock_ = std::move(clock); }

    JwksCache& jwks() { return jwks_; }

  private:
    const OidcConfig& config_;
    HttpsTransport transport_;
    WallClock clock_;
    JwksCache jwks_;
    TokenValidator tokens_;
};

}  // namespace fenra::oidc
