#include "auth/oidc/oidc_backend.h"

#include "auth/oidc/password_grant.h"

namespace fenra::oidc {
namespace {

HttpsTransport& refusing() {
    static ImmediateTransport none(
        [](std::string_view, std::string_view, std::optional<std::string_view>,
           std::optional<std::string_view>,
           std::optional<std::string_view>) -> Result<HttpsResponse> {
            return Error::ConnectionFailed;
        },
        std::nullopt);
    return none;
}

}  // namespace

OidcBackend::OidcBackend(const OidcConfig& config, HttpsTransport& transport)
    : config_(config),
      transport_(transport),
      clock_(system_seconds),
      jwks_(config_, transport_, clock_),
      tokens_(config_, transport_, clock_, jwks_) {}

OidcBackend::OidcBackend(const OidcConfig& config) : OidcBackend(config, refusing()) {}

ExchangeId OidcBackend::check_password(std::string_view username, std::string_view password,
                                       std::function<void(Outcome)> done) {
    return password_grant(config_, transport_, username, password, std::move(done));
}

uint64_t OidcBackend::check_token(std::string_view token, TokenValidator::Done done) {
    return tokens_.validate(token, std::move(done));
}

void OidcBackend::set_transport(HttpsCall call) {
    own_transport_ = std::make_unique<ImmediateTransport>(std::move(call), config_.ca_file);
    transport_.set(*own_transport_);
}

}  // namespace fenra::oidc
