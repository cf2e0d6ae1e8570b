// Settings of the OIDC backend, taken from the [oidc] section of the
// configuration file. The views point into the configuration text, which lives
// for the whole process.
#pragma once

#include <optional>
#include <string_view>

namespace fenra::oidc {

struct OidcConfig {
    std::string_view issuer;
    std::string_view client_id;
    std::string_view client_secret;  // never logged
    std::string_view token_endpoint;
    std::string_view jwks_uri;
    std::optional<std::string_view> introspection_endpoint;  // absent: introspection disabled
    std::optional<std::string_view> ca_file;                 // absent: the system bundles
    std::optional<std::string_view> user_domain;
};

}  // namespace fenra::oidc
