// Keys, signed JWTs and a scripted provider for the token unit tests. The
// keys are made once per test binary with OpenSSL; tokens are signed here, so
// every attack case can be built byte by byte.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/oidc/https_client.h"
#include "auth/oidc/oidc_config.h"
#include "runtime/result.h"

namespace fenra::testutil {

std::string b64url(std::string_view bytes);

// A key pair and its public JWK members (base64url).
struct TestKey {
    EVP_PKEY* pkey = nullptr;  // lives for the whole test binary
    std::string n, e;          // RSA
    std::string x;             // Ed25519
};

const TestKey& rsa_key();        // 2048 bits
const TestKey& other_rsa_key();  // 2048 bits, not in any test JWKS
const TestKey& ed_key();
const TestKey& other_ed_key();

std::string sign_rs256(const TestKey& key, std::string_view input);
std::string sign_eddsa(const TestKey& key, std::string_view input);
std::string hmac_sha256(std::string_view key, std::string_view input);

// header.payload.signature with both JSON texts encoded as given.
std::string jwt_rs256(const TestKey& key, std::string_view header, std::string_view payload);
std::string jwt_eddsa(const TestKey& key, std::string_view header, std::string_view payload);

// JWK objects as a provider writes them, and a document around them.
std::string rsa_jwk(std::string_view kid, const TestKey& key);
std::string okp_jwk(std::string_view kid, const TestKey& key);
std::string jwks(const std::vector<std::string>& keys);

oidc::HttpsResponse response(uint16_t status, std::string_view body);

// The provider as the backend sees it: a JWKS document (or a failure) at the
// JWKS URI and an introspection answer; every request is counted and kept.
struct ScriptedProvider {
    struct Call {
        std::string method, url;
        std::optional<std::string> body, content_type, ca_file;
    };

    std::string jwks_doc;
    uint16_t jwks_status = 200;
    std::optional<Error> jwks_error;
    std::string introspection_doc = "{\"active\":false}";
    uint16_t introspection_status = 200;
    std::optional<Error> introspection_error;
    std::vector<Call> calls;

    size_t jwks_fetches() const;
    oidc::HttpsCall transport();
};

// The settings the tests validate against.
oidc::OidcConfig test_config(bool introspection = true);

}  // namespace fenra::testutil
