// The OIDC backend: checks PLAIN passwords with the provider's token endpoint
// and OAUTHBEARER tokens as JWTs or by introspection. One instance per
// process; every call blocks the calling thread for its HTTPS exchanges.
#pragma once

#include <optional>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/oidc_config.h"

namespace fenra::oidc {

// The account a token names. The views point into the backend's own buffers
// and stay valid until the next call on the backend.
struct TokenIdentity {
    std::string_view username;
    std::string_view picture;
};

class OidcBackend {
  public:
    explicit OidcBackend(const OidcConfig& config);

    // True when the provider accepts the password for the user.
    bool validate_password(std::string_view username, std::string_view password);

    // The identity of a good token; nullopt when it is rejected.
    std::optional<TokenIdentity> validate_token(std::string_view token);

    // Replaces the HTTPS transport (unit tests give a scripted one).
    void set_transport(HttpsTransport transport) { transport_ = std::move(transport); }

  private:
    const OidcConfig& config_;
    HttpsTransport transport_;
};

}  // namespace fenra::oidc
