#include "auth/oidc/password_grant.h"

#include <openssl/crypto.h>

#include "auth/oidc/form.h"
#include "runtime/log.h"

namespace fenra::oidc {

size_t build_password_form(char* out, size_t cap, const OidcConfig& config,
                           std::string_view username, std::string_view password) {
    FormWriter f(out, cap);
    f.raw("grant_type=password&client_id=");
    f.enc(config.client_id);
    f.raw("&client_secret=");
    f.enc(config.client_secret);
    f.raw("&username=");
    f.enc(username);
    if (config.user_domain && username.find('@') == std::string_view::npos) {
        f.raw("%40");
        f.enc(*config.user_domain);
    }
    f.raw("&password=");
    f.enc(password);
    f.raw("&scope=openid%20email%20profile");
    return f.overflow() ? 0 : f.text().size();
}

Outcome judge_password(const Result<HttpsResponse>& r, std::string_view username) {
    if (!r) {
        log::error("oidc_store", {"ROPC: HTTP request failed: ", r.error()});
        return Outcome::unavailable;
    }
    if (r->status == 200) {
        log::info("oidc_store", {"ROPC: password validated for '", username, "'"});
        return Outcome::accepted;
    }
    log::info("oidc_store",
              {"ROPC: token endpoint returned ", r->status, " for user '", username, "'"});
    return provider_unavailable(r) ? Outcome::unavailable : Outcome::rejected;
}

ExchangeId password_grant(const OidcConfig& config, HttpsTransport& transport,
                          std::string_view username, std::string_view password,
                          std::function<void(Outcome)> done) {
    char body[kFormBodyCap];
    size_t len = build_password_form(body, sizeof body, config, username, password);
    if (len == 0) {
        done(Outcome::rejected);
        return 0;
    }
    const ExchangeId id =
        transport.start(HttpsRequest{.method = "POST",
                                     .url = config.token_endpoint,
                                     .body = std::string_view(body, len),
                                     .content_type = "application/x-www-form-urlencoded"},
                        [user = std::string(username), done = std::move(done)](
                            Result<HttpsResponse>&& r) { done(judge_password(r, user)); });
    OPENSSL_cleanse(body, len);  // client secret and password
    return id;
}

}  // namespace fenra::oidc
