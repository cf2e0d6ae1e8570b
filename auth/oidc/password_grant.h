// PLAIN passwords are checked with the OAuth 2.0 resource owner password
// credentials grant at the provider's token endpoint: status 200 alone means
// the password is right; a transport failure or a 5xx status judges nothing.
// The daemon stores no passwords.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/oidc_config.h"
#include "auth/oidc/outcome.h"

namespace fenra::oidc {

inline constexpr size_t kFormBodyCap = 4096;

// The form body of the grant, written into out (cap bytes). Returns its
// length, or 0 when it does not fit.
size_t build_password_form(char* out, size_t cap, const OidcConfig& config,
                           std::string_view username, std::string_view password);

// What the token endpoint's answer means: accepted for 200, unavailable when
// it could not be asked or answered 5xx, rejected otherwise.
Outcome judge_password(const Result<HttpsResponse>& r, std::string_view username);

// Starts one grant request; done gets its outcome (at once when the form does
// not fit). The password is in no buffer of ours once this returns.
ExchangeId password_grant(const OidcConfig& config, HttpsTransport& transport,
                          std::string_view username, std::string_view password,
                          std::function<void(Outcome)> done);

}  // namespace fenra::oidc
