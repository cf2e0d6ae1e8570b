// What the token fuzz targets share: a backend with fixed settings, a fixed
// clock and a scripted provider whose JWKS holds one RSA and one Ed25519 key.
// The seed corpora carry tokens signed with the private halves of these keys,
// so mutations start from tokens that pass every check.
#pragma once

#include <fcntl.h>

#include <cstring>
#include <string>
#include <string_view>

#include "auth/oidc/oidc_backend.h"
#include "runtime/log.h"

namespace fenra::fuzzing {

inline constexpr std::string_view kJwks =
    R"({"keys":[{"kty":"RSA","use":"sig","kid":"rsa-1","alg":"RS256","n":"lqQ4WKXXcMyEY9VaDKodA)"
    R"(8A4yWSIIyWMSwUkGLO2oi2fCWHGhfJ1InvYvH58zsYwfo0dOw5kgJLQCvrsBbJ18hNBnwBKX0Q1PsdIVDWJErW2l)"
    R"(CpH2NCuCTBRZjN7uyKGbwXwyf5GkWQZSyn1eIACsj-5L56_IP7Ox7PW7zvcnEZOY6Tgt7LBj9dU2hA4Lc6VnDzAq)"
    R"(xbeRtndfvkdD7PbTo2Ed1lghrxcxHMOWCEjlkIFiFRnVr50wmixZn5tRj7N5QEXVQbECBcaUclfx8PQja4Javuq9)"
    R"(A1buJWpG6MYOQKi7NMfrbM8rMYphDrqMndCFZTVvSuU2vYfUc77Hp6NVw","e":"AQAB"},{"crv":"Ed25519",)"
    R"("x":"7M9jQOMS2qaclhq85WoNGq2giucTDVseBEq2QX4Aeos","kty":"OKP","kid":"ed-1","alg":"EdDSA")"
    R"(,"use":"sig"}]})";

inline constexpr int64_t kNow = 1'800'000'000;

inline const oidc::OidcConfig& token_config() {
    static const oidc::OidcConfig c = [] {
        oidc::OidcConfig c;
        c.issuer = "https://idp.example";
        c.client_id = "fenra-xmpp";
        c.client_secret = "s3cret";
        c.token_endpoint = "https://idp.example/token";
        c.jwks_uri = "https://idp.example/jwks";
        c.introspection_endpoint = "https://idp.example/introspect";
        c.audiences = {"fenra-xmpp"};
        c.user_domain = "example.org";
        return c;
    }();
    return c;
}

inline oidc::HttpsResponse scripted_response(uint16_t status, std::string_view body) {
    oidc::HttpsResponse r;
    r.status = status;
    r.size = body.size();
    if (!body.empty()) {
        r.data.reset(new char[body.size()]);
        std::memcpy(r.data.get(), body.data(), body.size());
    }
    return r;
}

// The provider: the fixed JWKS on GET, *introspection on POST.
inline oidc::HttpsCall scripted_provider(const std::string* introspection) {
    return [introspection](std::string_view method, std::string_view,
                           std::optional<std::string_view>, std::optional<std::string_view>,
                           std::optional<std::string_view>) -> Result<oidc::HttpsResponse> {
        if (method == "GET") return scripted_response(200, kJwks);
        return scripted_response(200, *introspection);
    };
}

inline void quiet_log() {
    log::set_output_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
}

}  // namespace fenra::fuzzing
