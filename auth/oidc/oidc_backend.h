// The OIDC backend: checks PLAIN passwords with the provider's token endpoint
// and OAUTHBEARER tokens as JWTs (with the provider's cached JWKS keys) or by
// introspection. One instance per process. Checks run side by side: each
// ends in one call of its completion, at once when nothing has to be asked,
// else when its exchange with the provider ends.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/oidc_config.h"
#include "auth/oidc/token_validation.h"

namespace fenra::oidc {

class OidcBackend {
  public:
    // transport (the daemon's HttpsClient) must outlive the backend.
    OidcBackend(const OidcConfig& config, HttpsTransport& transport);
    // A backend whose exchanges all fail (ConnectionFailed) until
    // set_transport gives it another transport.
    explicit OidcBackend(const OidcConfig& config);
    OidcBackend(const OidcBackend&) = delete;
    OidcBackend& operator=(const OidcBackend&) = delete;

    // Asks the provider whether the password is right for the (normalised)
    // user. Returns the exchange for cancel_password (0 when done was called
    // at once).
    ExchangeId check_password(std::string_view username, std::string_view password,
                              std::function<void(Outcome)> done);
    void cancel_password(ExchangeId id) { transport_.cancel(id); }

    // The identity of a good token, handed to done (the views are valid
    // during the call). Returns the check for cancel_token (0 when done was
    // called at once).
    uint64_t check_token(std::string_view token, TokenValidator::Done done);
    void cancel_token(uint64_t check) { tokens_.cancel(check); }

    // Replaces the transport by one that answers at once (unit tests).
    void set_transport(HttpsCall call);
    // Replaces the wall clock (seconds since 1970) of expiry checks and the
    // JWKS refresh policy.
    void set_clock(WallClock clock) { clock_ = std::move(clock); }

    JwksCache& jwks() { return jwks_; }

  private:
    // Hands every exchange to the current transport.
    class Forward final : public HttpsTransport {
      public:
        explicit Forward(HttpsTransport& to) : to_(&to) {}
        ExchangeId start(const HttpsRequest& r, HttpsDone done) override {
            return to_->start(r, std::move(done));
        }
        void cancel(ExchangeId id) override { to_->cancel(id); }
        void set(HttpsTransport& to) { to_ = &to; }

      private:
        HttpsTransport* to_;
    };

    const OidcConfig& config_;
    std::unique_ptr<HttpsTransport> own_transport_;
    Forward transport_;
    WallClock clock_;
    JwksCache jwks_;
    TokenValidator tokens_;
};

}  // namespace fenra::oidc
