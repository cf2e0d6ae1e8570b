#include "auth/oidc/oidc_backend.h"

#include "auth/oidc/password_grant.h"

namespace fenra::oidc {

OidcBackend::OidcBackend(const OidcConfig& config)
    : config_(config),
      transport_([](std::string_view method, std::string_view url,
                    std::optional<std::string_view> body,
                    std::optional<std::string_view> content_type,
                    std::optional<std::string_view> ca_file) {
          return https_request(method, url, body, content_type, ca_file);
      }),
      clock_(system_seconds),
      jwks_(config_, transport_, clock_),
      tokens_(config_, transport_, clock_, jwks_) {}

Outcome OidcBackend::validate_password(std::string_view username, std::string_view password) {
    return password_grant(config_, transport_, username, password);
}

TokenCheck OidcBackend::validate_token(std::string_view token) {
    return tokens_.validate(token);
}

}  // namespace fenra::oidc
