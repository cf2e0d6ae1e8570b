#include "auth/sasl_handler.h"

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

AuthAnswer SaslHandler::handle(const AuthRequest& req) {
    const auto verdict = limiter_.check(req.address, req.account);
    if (verdict != RateLimiter::Verdict::pass) return refusal(verdict);
    // Every request that passes the checks counts, whatever happens next.
    limiter_.record_attempt(req.address, req.account);

    switch (static_cast<Mechanism>(req.mechanism)) {
        case Mechanism::plain:
            return handle_plain(req);
        case Mechanism::scram:
            return failure("mechanism-not-supported");
        case Mechanism::oauthbearer:
            return handle_oauthbearer(req);
    }
    // The codec admits only 1 to 3; anything else is not ours to answer kindly.
    return failure("mechanism-not-supported");
}

AuthAnswer SaslHandler::handle_plain(const AuthRequest& req) {
    const auto creds = parse_plain(req.initial);
    if (!creds) return failure("invalid-encoding");
    const std::string_view user = creds->username;

    // The account field may be empty or name someone else, while PLAIN counts
    // its failures under the authentication identity: that name gets the lock
    // and per-account checks too, and the attempt is counted for it.
    if (user != req.account) {
        const auto verdict = limiter_.check_account(user);
        if (verdict != RateLimiter::Verdict::pass) return refusal(verdict);
        limiter_.record_attempt({}, user);
    }

    if (checker_.validate_password(user, creds->password)) {
        log::info(kScope, {"PLAIN auth success (IdP): '", user, "'"});
        limiter_.record_success(user);
        return success(user, {});
    }
    log::info(kScope, {"PLAIN auth failed (IdP): '", user, "'"});
    limiter_.record_failure(user, req.address);
    return failure("not-authorized");
}

AuthAnswer SaslHandler::handle_oauthbearer(const AuthRequest& req) {
    const auto token = extract_bearer_token(req.initial);
    if (!token) return failure("invalid-encoding");

    const auto identity = checker_.validate_token(*token);
    if (identity) {
        log::info(kScope, {"OAUTHBEARER auth success: '", identity->username, "'"});
        limiter_.record_success(identity->username);
        return success(identity->username, identity->picture);
    }
    log::info(kScope, {"OAUTHBEARER auth failed"});
    limiter_.record_failure(req.account, req.address);
    return failure("not-authorized");
}

}  // namespace fenra::auth
