#include "auth/oidc/token_validation.h"

#include <openssl/crypto.h>

#include <cstring>

#include "auth/oidc/form.h"
#include "auth/oidc/jwt_verify.h"
#include "runtime/log.h"

namespace fenra::oidc {
namespace {

constexpr std::string_view kScope = "oidc_store";

std::string_view field(std::string_view text, std::string_view quoted_name) {
    return json_string_field(text, quoted_name).value_or(std::string_view{});
}

// The claims the checks read; views into the decoded payload.
struct JwtClaims {
    std::string_view sub;
    std::string_view iss;
    int64_t exp = 0;
    std::string_view preferred_username;
    std::string_view email;
    std::string_view picture;
};

JwtClaims read_claims(std::string_view payload) {
    return JwtClaims{
        .sub = field(payload, "\"sub\""),
        .iss = field(payload, "\"iss\""),
        .exp = json_number_field(payload, "\"exp\""),
        .preferred_username = field(payload, "\"preferred_username\""),
        .email = field(payload, "\"email\""),
        .picture = field(payload, "\"picture\""),
    };
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
    const auto header = base64url_decode(parts.header, out.header_buf, sizeof out.header_buf);
    if (!header) return Error::InvalidBase64;
    const auto payload = base64url_decode(parts.payload, out.payload_buf, sizeof out.payload_buf);
    if (!payload) return Error::InvalidBase64;
    out.header_len = *header;
    out.payload_len = *payload;
    return {};
}

int64_t json_number_field(std::string_view text, std::string_view quoted_name) {
    const auto at = json_member_value(text, quoted_name);
    if (!at) return 0;
    int64_t v = 0;
    for (size_t i = *at; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, text[i] - '0', &v))
            return 0;
    }
    return v;
}

AudienceCheck check_audience(std::string_view payload, std::string_view client_id) {
    const auto at = json_member_value(payload, "\"aud\"");
    if (!at || *at >= payload.size()) return {};
    if (payload[*at] == '"') {
        const auto aud = json_string_at(payload, *at);
        if (!aud) return {};  // no closing quote: not a string
        return {.ok = *aud == client_id, .shown = *aud};
    }
    if (payload[*at] != '[') return {};

    // The array's string elements, skipping anything nested inside it.
    bool found = false;
    size_t depth = 0;
    for (size_t i = *at; i < payload.size(); ++i) {
        const char c = payload[i];
        if (c == '"') {
            const size_t end = json_string_end(payload, i);
            if (end == std::string_view::npos) break;
            if (depth == 1 && payload.substr(i + 1, end - i - 1) == client_id) found = true;
            i = end;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return {.ok = found, .shown = payload.substr(*at, i + 1 - *at)};
        }
    }
    return {.ok = false, .shown = payload.substr(*at)};  // the array never closes
}

std::string_view local_part(std::string_view name) {
    return name.substr(0, name.find('@'));
}

TokenValidator::TokenValidator(const OidcConfig& config, const HttpsTransport& transport,
                               const WallClock& clock, JwksCache& jwks)
    : config_(config), transport_(transport), clock_(clock), jwks_(jwks) {}

std::optional<TokenIdentity> TokenValidator::validate(std::string_view token) {
    Error why;
    if (const auto parts = split_jwt(token)) {
        DecodedJwt jwt;
        const auto decoded = decode_jwt(*parts, jwt);
        if (decoded) return validate_jwt(*parts, jwt);
        why = decoded.error();
    } else {
        why = parts.error();
    }
    log::info(kScope,
              {"OAUTHBEARER: JWT parse failed (", why, ") \xE2\x80\x94 trying introspection"});
    return introspect(token);
}

std::optional<TokenIdentity> TokenValidator::validate_jwt(const JwtParts& parts,
                                                          const DecodedJwt& jwt) {
    const std::string_view kid = field(jwt.header(), "\"kid\"");
    const JwtClaims c = read_claims(jwt.payload());

    const int64_t now = clock_();
    if (c.exp != 0 && now > c.exp) {
        log::info(kScope, {"OAUTHBEARER: token expired for sub='", c.sub, "'"});
        return std::nullopt;
    }
    if (c.iss != config_.issuer) {
        log::info(kScope, {"OAUTHBEARER: issuer mismatch: got '", c.iss, "', expected '",
                           config_.issuer, "'"});
        return std::nullopt;
    }
    const AudienceCheck aud = check_audience(jwt.payload(), config_.client_id);
    if (!aud.ok) {
        log::info(kScope, {"OAUTHBEARER: audience mismatch: got '", aud.shown, "', expected '",
                           config_.client_id, "'"});
        return std::nullopt;
    }

    JwkEntry* key = jwks_.find_key(kid);
    if (key == nullptr) {
        log::info(kScope, {"OAUTHBEARER: no matching key for kid='", kid, "'"});
        return std::nullopt;
    }
    const bool good = key->kind == JwkKind::okp
                          ? verify_eddsa(parts.signing_input, parts.signature, *key)
                          : verify_rs256(parts.signing_input, parts.signature, *key);
    if (!good) {
        log::info(kScope, {"OAUTHBEARER: signature verification failed for sub='", c.sub, "'"});
        return std::nullopt;
    }

    const std::string_view name = !c.preferred_username.empty() ? c.preferred_username : c.email;
    const std::string_view user = local_part(name);
    if (user.empty()) {
        log::info(kScope, {"OAUTHBEARER: no username in token claims"});
        return std::nullopt;
    }
    if (user.size() > kMaxUsername) return std::nullopt;

    const std::string_view picture =
        c.picture.size() <= kMaxPicture ? c.picture : std::string_view{};
    const TokenIdentity id = keep(user, picture);
    log::info(kScope, {"OAUTHBEARER: validated token for '", id.username, "'"});
    return id;
}

std::optional<TokenIdentity> TokenValidator::introspect(std::string_view token) {
    if (!config_.introspection_endpoint) {
        log::info(kScope, {"OAUTHBEARER: no introspection endpoint configured"});
        return std::nullopt;
    }
    char body[kIntrospectionBodyCap];
    FormWriter form(body, sizeof body);
    form.raw("token=");
    form.enc(token);
    form.raw("&client_id=");
    form.enc(config_.client_id);
    form.raw("&client_secret=");
    form.enc(config_.client_secret);
    if (form.overflow()) {
        OPENSSL_cleanse(body, sizeof body);
        return std::nullopt;
    }
    auto r = transport_("POST", *config_.introspection_endpoint, form.text(),
                        "application/x-www-form-urlencoded", config_.ca_file);
    OPENSSL_cleanse(body, sizeof body);  // the token and the client secret
    if (!r) {
        log::error(kScope, {"introspection: HTTP request failed: ", r.error()});
        return std::nullopt;
    }
    if (r->status != 200) {
        log::info(kScope, {"introspection: endpoint returned ", r->status});
        return std::nullopt;
    }
    const std::string_view doc = r->body();
    if (doc.find("\"active\":true") == std::string_view::npos &&
        doc.find("\"active\": true") == std::string_view::npos) {
        log::info(kScope, {"introspection: token is not active"});
        return std::nullopt;
    }
    std::string_view name = field(doc, "\"username\"");
    if (name.empty()) name = field(doc, "\"sub\"");
    const std::string_view user = local_part(name);
    if (user.empty()) {
        log::info(kScope, {"introspection: no username in response"});
        return std::nullopt;
    }
    if (user.size() > kMaxUsername) return std::nullopt;

    const TokenIdentity id = keep(user, {});
    log::info(kScope, {"OAUTHBEARER: introspection validated for '", id.username, "'"});
    return id;
}

TokenIdentity TokenValidator::keep(std::string_view username, std::string_view picture) {
    std::memcpy(username_, username.data(), username.size());
    username_len_ = username.size();
    if (!picture.empty()) std::memcpy(picture_, picture.data(), picture.size());
    picture_len_ = picture.size();
    return TokenIdentity{.username = {username_, username_len_},
                         .picture = {picture_, picture_len_}};
}

}  // namespace fenra::oidc
