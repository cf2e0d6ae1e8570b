#include "auth/sasl_handler.h"

#include <string>

#include "auth/oidc/token_validation.h"
#include "runtime/log.h"

namespace fenra::auth {
namespace {

constexpr std::string_view kScope = "auth_handler";
constexpr std::string_view kBearerKey = "auth=Bearer ";

AuthAnswer failure(std::string_view condition) {
    return AuthAnswer{.success = false, .username = {}, .third = {}, .condition = condition};
}

AuthAnswer success(std::string_view username, std::string_view third) {
    return AuthAnswer{.success = true, .username = username, .third = third, .condition = {}};
}

constexpr std::string_view kTemporary = "temporary-auth-failure";

AuthAnswer refusal(RateLimiter::Verdict v) {
    return failure(v == RateLimiter::Verdict::account_disabled ? "account-disabled"
                                                               : "policy-violation");
}

}  // namespace

std::optional<PlainCredentials> parse_plain(std::string_view message) {
    const size_t first = message.find('\0');
    if (first == std::string_view::npos || first + 1 == message.size()) return std::nullopt;
    const size_t second = message.find('\0', first + 1);
    if (second == std::string_view::npos || second + 1 == message.size()) return std::nullopt;
    return PlainCredentials{
        .authzid = message.substr(0, first),
        .username = message.substr(first + 1, second - first - 1),
        .password = message.substr(second + 1),
    };
}

std::optional<std::string_view> extract_bearer_token(std::string_view message) {
    if (message.empty()) return std::nullopt;
    const size_t key = message.find(kBearerKey);
    if (key == std::string_view::npos) return message;  // a bare token
    std::string_view token = message.substr(key + kBearerKey.size());
    token = token.substr(0, token.find('\x01'));
    if (token.empty()) return std::nullopt;
    return token;
}

PendingCheck SaslHandler::handle(const AuthRequest& req, Done done) {
    const auto verdict = limiter_.check(req.address, req.account);
    if (verdict != RateLimiter::Verdict::pass) {
        done(refusal(verdict));
        return {};
    }
    // Every request that passes the checks counts, whatever happens next.
    limiter_.record_attempt(req.address, req.account);

    switch (static_cast<Mechanism>(req.mechanism)) {
        case Mechanism::plain:
            return handle_plain(req, done);
        case Mechanism::scram:
            break;
        case Mechanism::oauthbearer:
            return handle_oauthbearer(req, done);
    }
    // The codec admits only 1 to 3; anything else is not ours to answer kindly.
    done(failure("mechanism-not-supported"));
    return {};
}

void SaslHandler::cancel(const PendingCheck& p) {
    if (p.check == 0) return;
    if (p.password) {
        checker_.cancel_password(p.check);
    } else {
        checker_.cancel_token(p.check);
    }
}

uint64_t SaslHandler::grant_account(const AuthRequest& req) const {
    if (static_cast<Mechanism>(req.mechanism) != Mechanism::plain) return 0;
    const auto creds = parse_plain(req.initial);
    return creds ? limiter_.account_key(creds->username) : 0;
}

bool SaslHandler::checked_locally(const AuthRequest& req) {
    if (static_cast<Mechanism>(req.mechanism) != Mechanism::oauthbearer) return false;
    const auto token = extract_bearer_token(req.initial);
    return token && oidc::split_jwt(*token);
}

PendingCheck SaslHandler::handle_plain(const AuthRequest& req, Done& done) {
    const auto creds = parse_plain(req.initial);
    if (!creds) {
        done(failure("invalid-encoding"));
        return {};
    }
    const std::string_view typed = creds->username;

    // The account field may be empty or name someone else, while PLAIN counts
    // its failures under the authentication identity: that name gets the lock
    // and per-account checks too, and the attempt is counted for it.
    if (limiter_.account_key(typed) != limiter_.account_key(req.account)) {
        const auto verdict = limiter_.check_account(typed);
        if (verdict != RateLimiter::Verdict::pass) {
            done(refusal(verdict));
            return {};
        }
        limiter_.record_attempt({}, typed);
    }

    switch (oidc::normalise_username(typed, user_domain_, username_)) {
        case oidc::UsernameFault::none:
            break;
        case oidc::UsernameFault::foreign_domain:
            log::info(kScope, {"PLAIN: username not in our domain"});
            limiter_.record_failure(typed, req.address);
            done(failure("not-authorized"));
            return {};
        case oidc::UsernameFault::empty:
        case oidc::UsernameFault::malformed:
        case oidc::UsernameFault::too_long:
            log::info(kScope, {"PLAIN: unusable username"});
            limiter_.record_failure(typed, req.address);
            done(failure("not-authorized"));
            return {};
    }
    const std::string_view user = username_.view();
    const uint64_t check = checker_.check_password(
        user, creds->password,
        [this, user = std::string(user), address = std::string(req.address),
         done = std::move(done)](oidc::Outcome outcome) {
            switch (outcome) {
                case oidc::Outcome::accepted:
                    log::info(kScope, {"PLAIN auth success (IdP): '", user, "'"});
                    limiter_.record_success(user);
                    return done(success(user, {}));
                case oidc::Outcome::unavailable:
                    log::info(kScope,
                              {"PLAIN auth not checked, provider unavailable: '", user, "'"});
                    return done(failure(kTemporary));
                case oidc::Outcome::rejected:
                    break;
            }
            log::info(kScope, {"PLAIN auth failed (IdP): '", user, "'"});
            limiter_.record_failure(user, address);
            done(failure("not-authorized"));
        });
    return PendingCheck{.check = check, .password = true};
}

PendingCheck SaslHandler::handle_oauthbearer(const AuthRequest& req, Done& done) {
    const auto token = extract_bearer_token(req.initial);
    if (!token) {
        done(failure("invalid-encoding"));
        return {};
    }
    const uint64_t check = checker_.check_token(*token, [this, account = std::string(req.account),
                                                         address = std::string(req.address),
                                                         done = std::move(done)](
                                                            const CredentialChecker::TokenAnswer&
                                                                answer) {
        switch (answer.outcome) {
            case oidc::Outcome::accepted:
                log::info(kScope, {"OAUTHBEARER auth success: '", answer.identity.username, "'"});
                limiter_.record_success(answer.identity.username);
                return done(success(answer.identity.username, answer.identity.picture));
            case oidc::Outcome::unavailable:
                log::info(kScope, {"OAUTHBEARER auth not checked, provider unavailable"});
                return done(failure(kTemporary));
            case oidc::Outcome::rejected:
                break;
        }
        log::info(kScope, {"OAUTHBEARER auth failed"});
        limiter_.record_failure(account, address);
        done(failure("not-authorized"));
    });
    return PendingCheck{.check = check, .password = false};
}

}  // namespace fenra::auth
