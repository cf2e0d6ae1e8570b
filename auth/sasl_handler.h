// One SASL step per authentication request: rate checks, the mechanism's
// message, the credential check with the identity provider, and exactly one
// answer. PLAIN and OAUTHBEARER finish in one step; SCRAM is refused. PLAIN
// names are normalised (oidc/username.h) before the provider sees them and
// answered normalised. A check the provider could not make (unreachable,
// timed out, 5xx) is answered "temporary-auth-failure" and counts no failure.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "auth/oidc/outcome.h"
#include "auth/oidc/username.h"
#include "auth/rate_limiter.h"

namespace fenra::auth {

enum class Mechanism : uint8_t { plain = 1, scram = 2, oauthbearer = 3 };

// PLAIN message: authorization identity, NUL, authentication identity, NUL,
// password (which may itself hold NUL bytes).
struct PlainCredentials {
    std::string_view authzid;   // ignored by the handler
    std::string_view username;  // may be empty
    std::string_view password;  // never empty
};

// nullopt when the message is empty, lacks either NUL, has nothing after the
// first NUL, or has an empty password.
std::optional<PlainCredentials> parse_plain(std::string_view message);

// The bearer token of an OAUTHBEARER message: the bytes after the first
// "auth=Bearer " up to the next 0x01 (or the end); without that key the whole
// message is taken as a bare token. nullopt for an empty message or an empty
// token after the key.
std::optional<std::string_view> extract_bearer_token(std::string_view message);

// What the handler needs from the identity provider. Each check ends in one
// call of its completion (perhaps before the check returns) unless it is
// cancelled; the number it returns names it for cancel (0: already ended).
class CredentialChecker {
  public:
    using Outcome = oidc::Outcome;
    struct Identity {
        std::string_view username;  // valid during the completion
        std::string_view picture;
    };
    struct TokenAnswer {
        Outcome outcome = Outcome::rejected;
        Identity identity;  // when accepted
    };
    virtual ~CredentialChecker() = default;
    virtual uint64_t check_password(std::string_view username, std::string_view password,
                                    std::function<void(Outcome)> done) = 0;
    virtual uint64_t check_token(std::string_view token,
                                 std::function<void(const TokenAnswer&)> done) = 0;
    virtual void cancel_password(uint64_t check) = 0;
    virtual void cancel_token(uint64_t check) = 0;
};

struct AuthRequest {
    uint32_t id = 0;
    uint8_t mechanism = 0;  // 1 to 3
    std::string_view address;
    std::string_view account;
    std::string_view initial;
};

// Either a success (username, third) or a failure (condition). The views are
// valid during the completion that hands the answer on.
struct AuthAnswer {
    bool success = false;
    std::string_view username;
    std::string_view third;
    std::string_view condition;
};

// A login whose check with the provider is in progress.
struct PendingCheck {
    uint64_t check = 0;  // 0: none
    bool password = false;
};

class SaslHandler {
  public:
    using Done = std::function<void(const AuthAnswer&)>;

    SaslHandler(RateLimiter& limiter, CredentialChecker& checker,
                std::optional<std::string_view> user_domain = std::nullopt)
        : limiter_(limiter), checker_(checker), user_domain_(user_domain) {}

    // Rate checks, then the mechanism's check; done gets the one answer, at
    // once or when the provider has judged.
    PendingCheck handle(const AuthRequest& req, Done done);
    // Drops a login in progress: its answer is never made.
    void cancel(const PendingCheck& p);

    // The account whose password grants a request makes, as the rate
    // limiter keys it; 0 for requests that make none.
    uint64_t grant_account(const AuthRequest& req) const;
    // Whether the request's check needs no exchange with the provider but
    // perhaps the JWKS refresh: OAUTHBEARER with a token of the JWT form.
    static bool checked_locally(const AuthRequest& req);

  private:
    PendingCheck handle_plain(const AuthRequest& req, Done& done);
    PendingCheck handle_oauthbearer(const AuthRequest& req, Done& done);

    RateLimiter& limiter_;
    CredentialChecker& checker_;
    std::optional<std::string_view> user_domain_;
    oidc::Username username_;  // the last PLAIN name, normalised
};

}  // namespace fenra::auth
