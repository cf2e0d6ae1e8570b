#include "auth/oidc/token_validation.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "auth/oidc/form.h"
#include "auth/oidc/jwt_verify.h"
#include "runtime/log.h"

namespace fenra::oidc {
namespace {

constexpr std::string_view kScope = "oidc_store";
constexpr TokenCheck kRejected{};
constexpr TokenCheck kUnavailable{.outcome = Outcome::unavailable, .identity = {}};

TokenCheck rejected(log::Pieces line) {
    log::info(kScope, line);
    return kRejected;
}

// The claims the checks read, with their types; views into the parser.
struct JwtClaims {
    std::optional<std::string_view> sub, iss, azp, typ;
    std::optional<int64_t> exp, nbf, iat;
    std::optional<std::string_view> preferred_username, email, picture;
    std::optional<bool> email_verified;
    std::optional<JsonValue> aud;
};

template <class T>
Result<void> take(JsonValue v, Result<T> (*read)(JsonValue), std::optional<T>& to) {
    const Result<T> r = read(v);
    if (!r) return r.error();
    to = *r;
    return {};
}

// One member of the payload, if it is a claim we read.
Result<void> read_claim(JwtClaims& c, std::string_view name, JsonValue v) {
    switch (name.size()) {
        case 3:
            if (name == "sub") return take(v, string_value, c.sub);
            if (name == "iss") return take(v, string_value, c.iss);
            if (name == "azp") return take(v, string_value, c.azp);
            if (name == "typ") return take(v, string_value, c.typ);
            if (name == "exp") return take(v, date_value, c.exp);
            if (name == "nbf") return take(v, date_value, c.nbf);
            if (name == "iat") return take(v, date_value, c.iat);
            if (name == "aud") c.aud = v;
            return {};
        case 5:
            return name == "email" ? take(v, string_value, c.email) : Result<void>{};
        case 7:
            return name == "picture" ? take(v, string_value, c.picture) : Result<void>{};
        case 14:
            return name == "email_verified" ? take(v, bool_value, c.email_verified)
                                            : Result<void>{};
        case 18:
            return name == "preferred_username" ? take(v, string_value, c.preferred_username)
                                                : Result<void>{};
        default:
            return {};
    }
}

// The claims in one pass over the members (each name occurs once: the
// parser refuses repeats).
Result<JwtClaims> read_claims(JsonObject o) {
    JwtClaims c;
    for (const auto field : o)
        if (const auto r = read_claim(c, field.key, field.value); !r) return r.error();
    return c;
}

std::string joined(const std::vector<std::string_view>& list) {
    std::string out;
    for (const std::string_view s : list) {
        if (!out.empty()) out += ',';
        out += s;
    }
    return out;
}

bool alg_fits(std::string_view alg, JwkKind kind) {
    return kind == JwkKind::okp ? alg == "EdDSA" : alg == "RS256";
}

}  // namespace

Result<JwtParts> split_jwt(std::string_view token) {
    const size_t first = token.find('.');
    if (first == std::string_view::npos) return Error::InvalidFormat;
    const size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos) return Error::InvalidFormat;
    if (token.find('.', second + 1) != std::string_view::npos) return Error::InvalidFormat;
    return JwtParts{
        .header = token.substr(0, first),
        .payload = token.substr(first + 1, second - first - 1),
        .signature = token.substr(second + 1),
        .signing_input = token.substr(0, second),
    };
}

Result<void> decode_jwt(const JwtParts& parts, DecodedJwt& out) {
    const auto header = base64url_decode(parts.header, out.header_buf, kMaxJwtHeader);
    if (!header) return header.error();
    const auto payload = base64url_decode(parts.payload, out.payload_buf, kMaxJwtPayload);
    if (!payload) return payload.error();
    out.header_len = *header;
    out.payload_len = *payload;
    std::memset(out.header_buf + out.header_len, 0, kJsonPadding);
    std::memset(out.payload_buf + out.payload_len, 0, kJsonPadding);
    return {};
}

SecretCopy::~SecretCopy() {
    OPENSSL_cleanse(text.data(), text.size());
}

TokenValidator::TokenValidator(const OidcConfig& config, HttpsTransport& transport,
                               const WallClock& clock, JwksCache& jwks)
    : config_(config),
      transport_(transport),
      clock_(clock),
      jwks_(jwks),
      jwt_(std::make_unique<DecodedJwt>()) {}

TokenValidator::~TokenValidator() {
    for (const auto& [check, w] : waiting_) {
        if (w.jwks) {
            jwks_.cancel_wait(w.id);
        } else {
            transport_.cancel(w.id);
        }
    }
}

void TokenValidator::cancel(uint64_t check) {
    const auto it = waiting_.find(check);
    if (it == waiting_.end()) return;
    const Waiting w = it->second;
    waiting_.erase(it);
    if (w.jwks) {
        jwks_.cancel_wait(w.id);
    } else {
        transport_.cancel(w.id);
    }
}

void TokenValidator::finish(uint64_t check, const Done& done, const TokenCheck& result) {
    if (waiting_.erase(check) == 0) return;
    done(result);
}

uint64_t TokenValidator::validate(std::string_view token, Done done) {
    const auto parts = split_jwt(token);
    if (!parts) {
        log::info(kScope, {"OAUTHBEARER: not a JWT \xE2\x80\x94 trying introspection"});
        return introspect(token, std::move(done));
    }
    std::string_view kid;
    if (auto early = check_claims(*parts, kid)) {
        done(*early);
        return 0;
    }
    // A key cached and fresh ends the check here, with no copy of the token.
    if (JwkEntry* key = jwks_.fresh_key(kid, checked_at_)) {
        done(check_key(*parts, kid, key));
        return 0;
    }
    const uint64_t check = ++last_check_;
    waiting_[check] = Waiting{.jwks = true, .id = 0};
    checking_now_ = check;
    kid_now_ = kid;
    const uint64_t wait =
        jwks_.with_key(kid, [this, check, copy = std::make_shared<SecretCopy>(token),
                             done = std::move(done)](JwkEntry* key) {
            const JwtParts again = *split_jwt(copy->text);
            std::string_view kid_again = kid_now_;
            // Called later, after a refresh: the parsers may have served other
            // tokens meanwhile, so the claims are read again.
            if (checking_now_ != check) {
                if (auto early = check_claims(again, kid_again)) return finish(check, done, *early);
            }
            finish(check, done, check_key(again, kid_again, key));
        });
    checking_now_ = 0;
    if (wait == 0) return 0;
    waiting_[check].id = wait;
    return check;
}

std::optional<TokenCheck> TokenValidator::check_claims(const JwtParts& parts,
                                                       std::string_view& kid_out) {
    if (const auto d = decode_jwt(parts, *jwt_); !d)
        return rejected({"OAUTHBEARER: malformed JWT (", d.error(), ")"});
    const auto header = header_json_.parse_object(jwt_->header(), true);
    if (!header) return rejected({"OAUTHBEARER: malformed JWT header (", header.error(), ")"});
    const auto alg = string_member(*header, "alg");
    const auto typ = string_member(*header, "typ");
    const auto kid = string_member(*header, "kid");
    if (!alg || !typ || !kid || !*alg)
        return rejected({"OAUTHBEARER: malformed JWT header (", Error::InvalidFormat, ")"});
    if (has_member(*header, "crit"))
        return rejected({"OAUTHBEARER: critical header parameters are not supported"});
    if (*typ && !equal_ignoring_case(**typ, "JWT") && !equal_ignoring_case(**typ, "at+jwt"))
        return rejected({"OAUTHBEARER: token type not accepted: '", **typ, "'"});

    const auto payload = payload_json_.parse_object(jwt_->payload(), true);
    if (!payload) return rejected({"OAUTHBEARER: malformed JWT claims (", payload.error(), ")"});
    const auto claims = read_claims(*payload);
    if (!claims) return rejected({"OAUTHBEARER: malformed JWT claims (", claims.error(), ")"});
    const JwtClaims& c = *claims;
    const std::string_view sub = c.sub.value_or("");

    const int64_t now = clock_();
    checked_at_ = now;
    if (!c.exp) return rejected({"OAUTHBEARER: token without expiry for sub='", sub, "'"});
    if (now > *c.exp + kClockLeeway)
        return rejected({"OAUTHBEARER: token expired for sub='", sub, "'"});
    if ((c.nbf && *c.nbf > now + kClockLeeway) || (c.iat && *c.iat > now + kClockLeeway))
        return rejected({"OAUTHBEARER: token not yet valid for sub='", sub, "'"});
    if (c.iss != config_.issuer)
        return rejected({"OAUTHBEARER: issuer mismatch: got '", c.iss.value_or(""), "', expected '",
                         config_.issuer, "'"});

    // "aud" must name one of our audiences; without it, "azp" must.
    const auto& aud = c.aud;
    bool ours = false;
    if (aud) {
        const auto names = names_one_of(*aud, config_.audiences);
        if (!names) return rejected({"OAUTHBEARER: malformed JWT claims (", names.error(), ")"});
        ours = *names;
    } else if (c.azp) {
        ours = std::find(config_.audiences.begin(), config_.audiences.end(), *c.azp) !=
               config_.audiences.end();
    }
    if (!ours)
        return rejected({"OAUTHBEARER: audience mismatch: got '",
                         aud ? shown(*aud) : std::string(c.azp.value_or("")), "', expected '",
                         joined(config_.audiences), "'"});
    if (c.typ && !equal_ignoring_case(*c.typ, "Bearer"))
        return rejected({"OAUTHBEARER: token type not accepted: '", *c.typ, "'"});

    // The account: preferred_username, or else an e-mail address the
    // provider has verified.
    alg_ = **alg;
    sub_ = sub;
    name_ = c.preferred_username.value_or("");
    email_unverified_ = false;
    if (name_.empty() && c.email && !c.email->empty()) {
        email_unverified_ = c.email_verified != true;
        name_ = *c.email;
    }
    picture_claim_ = c.picture.value_or("");
    kid_out = kid->value_or("");
    return std::nullopt;
}

TokenCheck TokenValidator::check_key(const JwtParts& parts, std::string_view key_id,
                                     JwkEntry* key) {
    if (key == nullptr) {
        if (jwks_.unavailable()) {
            log::error(kScope, {"OAUTHBEARER: no signing keys from the provider"});
            return kUnavailable;
        }
        return rejected({"OAUTHBEARER: no matching key for kid='", key_id, "'"});
    }
    if (!alg_fits(alg_, key->kind))
        return rejected(
            {"OAUTHBEARER: algorithm '", alg_, "' does not fit the key for kid='", key_id, "'"});
    const bool good = key->kind == JwkKind::okp
                          ? verify_eddsa(parts.signing_input, parts.signature, *key)
                          : verify_rs256(parts.signing_input, parts.signature, *key);
    if (!good) return rejected({"OAUTHBEARER: signature verification failed for sub='", sub_, "'"});
    if (email_unverified_) return rejected({"OAUTHBEARER: username not in our domain"});
    const TokenCheck id = identify("OAUTHBEARER", name_, picture_claim_);
    if (id.outcome == Outcome::accepted)
        log::info(kScope, {"OAUTHBEARER: validated token for '", id.identity.username, "'"});
    return id;
}

TokenCheck TokenValidator::identify(std::string_view scope_text, std::string_view name,
                                    std::string_view picture) {
    switch (normalise_username(name, config_.user_domain, username_)) {
        case UsernameFault::none:
            break;
        case UsernameFault::empty:
            return rejected({scope_text, ": no username in token claims"});
        case UsernameFault::foreign_domain:
            return rejected({"OAUTHBEARER: username not in our domain"});
        case UsernameFault::malformed:
        case UsernameFault::too_long:
            return rejected({scope_text, ": unusable username in token claims"});
    }
    picture_len_ = picture.size() <= kMaxPicture ? picture.size() : 0;
    if (picture_len_ != 0) std::memcpy(picture_, picture.data(), picture_len_);
    return TokenCheck{
        .outcome = Outcome::accepted,
        .identity = {.username = username_.view(), .picture = {picture_, picture_len_}}};
}

uint64_t TokenValidator::introspect(std::string_view token, Done done) {
    if (!config_.introspection_endpoint) {
        log::info(kScope, {"OAUTHBEARER: no introspection endpoint configured"});
        done(kRejected);
        return 0;
    }
    char body[kIntrospectionBodyCap];
    FormWriter form(body, sizeof body);
    form.raw("token=");
    form.enc(token);
    form.raw("&token_type_hint=access_token&client_id=");
    form.enc(config_.client_id);
    form.raw("&client_secret=");
    form.enc(config_.client_secret);
    if (form.overflow()) {
        OPENSSL_cleanse(body, sizeof body);
        done(kRejected);
        return 0;
    }
    const uint64_t check = ++last_check_;
    waiting_[check] = Waiting{.jwks = false, .id = 0};
    const ExchangeId id =
        transport_.start(HttpsRequest{.method = "POST",
                                      .url = *config_.introspection_endpoint,
                                      .body = form.text(),
                                      .content_type = "application/x-www-form-urlencoded"},
                         [this, check, done = std::move(done)](Result<HttpsResponse>&& r) {
                             if (!waiting_.contains(check)) return;
                             finish(check, done, judge_introspection(r));
                         });
    OPENSSL_cleanse(body, sizeof body);  // the token and the client secret
    const auto it = waiting_.find(check);
    if (it == waiting_.end()) return 0;
    it->second.id = id;
    return check;
}

TokenCheck TokenValidator::judge_introspection(const Result<HttpsResponse>& r) {
    if (!r) {
        log::error(kScope, {"introspection: HTTP request failed: ", r.error()});
        return kUnavailable;
    }
    if (r->status != 200) {
        log::info(kScope, {"introspection: endpoint returned ", r->status});
        return provider_unavailable(r) ? kUnavailable : kRejected;
    }
    const auto doc = answer_json_.parse_object(r->body());
    if (!doc) return rejected({"introspection: malformed answer (", doc.error(), ")"});
    const auto active = bool_member(*doc, "active");
    if (!active || *active != true) return rejected({"introspection: token is not active"});

    // The token must be ours: "aud" or "client_id" names one of our audiences.
    bool ours = false;
    if (const auto aud = member(*doc, "aud")) {
        const auto names = names_one_of(*aud, config_.audiences);
        if (!names) return rejected({"introspection: malformed answer (", names.error(), ")"});
        ours = *names;
    }
    const auto client = string_member(*doc, "client_id");
    const auto typ = string_member(*doc, "typ");
    const auto token_type = string_member(*doc, "token_type");
    const auto exp = date_member(*doc, "exp");
    const auto username = string_member(*doc, "username");
    const auto sub = string_member(*doc, "sub");
    if (!client || !typ || !token_type || !exp || !username || !sub)
        return rejected({"introspection: malformed answer (", Error::InvalidFormat, ")"});
    if (!ours && *client)
        ours = names_one_of(*member(*doc, "client_id"), config_.audiences).value_or(false);
    if (!ours) return rejected({"introspection: token not issued for us"});
    const bool bearer_typ = !*typ || equal_ignoring_case(**typ, "Bearer");
    const bool bearer_type = !*token_type || equal_ignoring_case(**token_type, "Bearer") ||
                             equal_ignoring_case(**token_type, "access_token");
    if (!bearer_typ || !bearer_type) return rejected({"introspection: not an access token"});
    if (*exp && clock_() > **exp + kClockLeeway) return rejected({"introspection: token expired"});

    const std::string_view name = username->value_or(sub->value_or(""));
    const TokenCheck id = identify("introspection", name, {});
    if (id.outcome == Outcome::accepted)
        log::info(kScope,
                  {"OAUTHBEARER: introspection validated for '", id.identity.username, "'"});
    return id;
}

}  // namespace fenra::oidc
