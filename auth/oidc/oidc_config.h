// Settings of the OIDC backend, taken from the [oidc] section of the
// configuration file. The views point into the configuration text, which lives
// for the whole process.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace fenra::oidc {

struct OidcConfig {
    std::string_view issuer;
    std::string_view client_id;
    std::string_view client_secret;  // never logged
    std::string_view token_endpoint;
    std::string_view jwks_uri;
    std::optional<std::string_view> introspection_endpoint;  // absent: introspection disabled
    std::optional<std::string_view> ca_file;                 // absent: the system bundles
    // The domain of our users: "@" and this domain are taken off a name, and
    // a name with any other domain is refused.
    std::optional<std::string_view> user_domain;
    // The token audiences we accept ("aud", or "azp" without one; the
    // client_id of an introspection answer).
    std::vector<std::string_view> audiences;
};

}  // namespace fenra::oidc
