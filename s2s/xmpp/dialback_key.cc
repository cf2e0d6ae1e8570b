#include "s2s/xmpp/dialback_key.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace fenra::xmpp {
namespace {

// The HMAC implementation, fetched once for the life of the process.
EVP_MAC* hmac() {
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

void update(EVP_MAC_CTX* ctx, std::string_view s) {
    EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

Result<DialbackKey> dialback_key(std::span<const uint8_t> secret, std::string_view receiving,
                                 std::string_view originating, std::string_view stream_id) {
    EVP_MAC_CTX* ctx = hmac() ? EVP_MAC_CTX_new(hmac()) : nullptr;
    char digest_name[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("digest", digest_name, 0),
        OSSL_PARAM_construct_end(),
    };
    unsigned char mac[EVP_MAX_MD_SIZE];
    size_t mac_len = 0;
    bool ok = ctx && EVP_MAC_init(ctx, secret.data(), secret.size(), params) == 1;
    if (ok) {
        update(ctx, receiving);
        update(ctx, " ");
        update(ctx, originating);
        update(ctx, " ");
        update(ctx, stream_id);
        ok = EVP_MAC_final(ctx, mac, &mac_len, sizeof mac) == 1 && mac_len == kDialbackKeySize / 2;
    }
    EVP_MAC_CTX_free(ctx);
    if (!ok) {
        ERR_clear_error();
        return Error::OutOfMemory;
    }

    static const char hex[] = "0123456789abcdef";
    DialbackKey key;
    for (size_t i = 0; i < mac_len; ++i) {
        key[2 * i] = hex[mac[i] >> 4];
        key[2 * i + 1] = hex[mac[i] & 15];
    }
    OPENSSL_cleanse(mac, sizeof mac);
    return key;
}

bool key_text_acceptable(std::string_view key) {
    if (key.empty() || key.size() > kDialbackKeyTextMax) return false;
    for (char c : key)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool dialback_key_matches(std::string_view received, const DialbackKey& expected) {
    if (received.size() != expected.size()) return false;
    return CRYPTO_memcmp(received.data(), expected.data(), expected.size()) == 0;
}

}  // namespace fenra::xmpp
