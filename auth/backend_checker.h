// The OIDC backend as the SASL handler sees it.
#pragma once

#include <functional>
#include <string_view>

#include "auth/oidc/oidc_backend.h"
#include "auth/sasl_handler.h"

namespace fenra::auth {

class BackendChecker final : public CredentialChecker {
  public:
    explicit BackendChecker(oidc::OidcBackend& backend) : backend_(backend) {}
    uint64_t check_password(std::string_view username, std::string_view password,
                            std::function<void(Outcome)> done) override {
        return backend_.check_password(username, password, std::move(done));
    }
    uint64_t check_token(std::string_view token,
                         std::function<void(const TokenAnswer&)> done) override {
        return backend_.check_token(token, [done = std::move(done)](const oidc::TokenCheck& c) {
            done(TokenAnswer{
                .outcome = c.outcome,
                .identity = {.username = c.identity.username, .picture = c.identity.picture}});
        });
    }
    void cancel_password(uint64_t check) override { backend_.cancel_password(check); }
    void cancel_token(uint64_t check) override { backend_.cancel_token(check); }

  private:
    oidc::OidcBackend& backend_;
};

}  // namespace fenra::auth
