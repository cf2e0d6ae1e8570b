#include "tests/tokens/token_fixture.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace fenra::testutil {
namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "token fixture: %s failed\n", what);
        std::abort();
    }
}

std::string bn_b64url(const EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    require(EVP_PKEY_get_bn_param(pkey, name, &bn) == 1, "EVP_PKEY_get_bn_param");
    std::string bytes(static_cast<size_t>(BN_num_bytes(bn)), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(bytes.data()));
    BN_free(bn);
    return b64url(bytes);
}

TestKey make_rsa() {
    TestKey k;
    k.pkey = EVP_RSA_gen(2048);
    require(k.pkey != nullptr, "EVP_RSA_gen");
    k.n = bn_b64url(k.pkey, OSSL_PKEY_PARAM_RSA_N);
    k.e = bn_b64url(k.pkey, OSSL_PKEY_PARAM_RSA_E);
    return k;
}

TestKey make_ed() {
    TestKey k;
    k.pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    require(k.pkey != nullptr, "EVP_PKEY_Q_keygen");
    unsigned char raw[32];
    size_t len = sizeof raw;
    require(EVP_PKEY_get_raw_public_key(k.pkey, raw, &len) == 1 && len == 32, "raw public key");
    k.x = b64url(std::string_view(reinterpret_cast<char*>(raw), len));
    return k;
}

std::string sign(const TestKey& key, const EVP_MD* md, std::string_view input) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    require(EVP_DigestSignInit(ctx, nullptr, md, nullptr, key.pkey) == 1, "EVP_DigestSignInit");
    size_t len = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(input.data());
    require(EVP_DigestSign(ctx, nullptr, &len, in, input.size()) == 1, "EVP_DigestSign size");
    std::string sig(len, '\0');
    require(EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len, in,
                           input.size()) == 1,
            "EVP_DigestSign");
    EVP_MD_CTX_free(ctx);
    sig.resize(len);
    return sig;
}

std::string jwt(std::string_view header, std::string_view payload,
                std::string (*signer)(const TestKey&, std::string_view), const TestKey& key) {
    std::string input = b64url(header) + "." + b64url(payload);
    return input + "." + b64url(signer(key, input));
}

}  // namespace

std::string b64url(std::string_view bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(alphabet[(acc >> bits) & 63]);
        }
    }
    if (bits > 0) out.push_back(alphabet[(acc << (6 - bits)) & 63]);
    return out;
}

const TestKey& rsa_key() {
    static const TestKey k = make_rsa();
    return k;
}
const TestKey& other_rsa_key() {
    static const TestKey k = make_rsa();
    return k;
}
const TestKey& ed_key() {
    static const TestKey k = make_ed();
    return k;
}
const TestKey& other_ed_key() {
    static const TestKey k = make_ed();
    return k;
}

std::string sign_rs256(const TestKey& key, std::string_view input) {
    return sign(key, EVP_sha256(), input);
}

std::string sign_eddsa(const TestKey& key, std::string_view input) {
    return sign(key, nullptr, input);
}

std::string hmac_sha256(std::string_view key, std::string_view input) {
    unsigned char mac[32];
    unsigned int len = sizeof mac;
    require(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                 reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac,
                 &len) != nullptr,
            "HMAC");
    return std::string(reinterpret_cast<char*>(mac), len);
}

std::string jwt_rs256(const TestKey& key, std::string_view header, std::string_view payload) {
    return jwt(header, payload, sign_rs256, key);
}

std::string jwt_eddsa(const TestKey& key, std::string_view header, std::string_view payload) {
    return jwt(header, payload, sign_eddsa, key);
}

std::string rsa_jwk(std::string_view kid, const TestKey& key) {
    return "{\"kty\":\"RSA\",\"use\":\"sig\",\"kid\":\"" + std::string(kid) +
           "\",\"alg\":\"RS256\",\"e\":\"" + key.e + "\",\"n\":\"" + key.n + "\"}";
}

std::string okp_jwk(std::string_view kid, const TestKey& key) {
    return "{\"crv\":\"Ed25519\",\"x\":\"" + key.x + "\",\"kty\":\"OKP\",\"kid\":\"" +
           std::string(kid) + "\",\"alg\":\"EdDSA\",\"use\":\"sig\"}";
}

std::string jwks(const std::vector<std::string>& keys) {
    std::string out = "{\"keys\":[";
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i) out += ",";
        out += keys[i];
    }
    return out + "]}";
}

oidc::HttpsResponse response(uint16_t status, std::string_view body) {
    oidc::HttpsResponse r;
    r.status = status;
    r.size = body.size();
    if (!body.empty()) {
        r.data.reset(new char[body.size()]);
        std::memcpy(r.data.get(), body.data(), body.size());
    }
    return r;
}

size_t ScriptedProvider::jwks_fetches() const {
    size_t n = 0;
    for (const Call& c : calls)
        if (c.method == "GET") ++n;
    return n;
}

oidc::HttpsCall ScriptedProvider::transport() {
    return
        [this](std::string_view method, std::string_view url, std::optional<std::string_view> body,
               std::optional<std::string_view> content_type,
               std::optional<std::string_view> ca_file) -> Result<oidc::HttpsResponse> {
            auto copy = [](std::optional<std::string_view> v) {
                return v ? std::optional<std::string>(std::string(*v)) : std::nullopt;
            };
            calls.push_back(Call{std::string(method), std::string(url), copy(body),
                                 copy(content_type), copy(ca_file)});
            if (method == "GET") {
                if (jwks_error) return *jwks_error;
                return response(jwks_status, jwks_doc);
            }
            if (introspection_error) return *introspection_error;
            return response(introspection_status, introspection_doc);
        };
}

oidc::OidcConfig test_config(bool introspection) {
    oidc::OidcConfig c;
    c.issuer = "https://idp.example";
    c.client_id = "fenra-xmpp";
    c.client_secret = "s3cret&=+";
    c.token_endpoint = "https://idp.example/token";
    c.jwks_uri = "https://idp.example/jwks";
    if (introspection) c.introspection_endpoint = "https://idp.example/introspect";
    c.ca_file = "/etc/fenra/idp-ca.pem";
    c.audiences = {"fenra-xmpp"};
    return c;
}

}  // namespace fenra::testutil
