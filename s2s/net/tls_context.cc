#include "s2s/net/tls_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <string>

namespace fenra::s2s {
namespace {

// Kernel TLS offload where the kernel has it; the only option we set.
constexpr uint64_t kContextOptions = SSL_OP_ENABLE_KTLS;
static_assert(kContextOptions == 8);

// The write queue of a connection is appended to and compacted while a TLS
// write may still be waiting to be retried, and a retry may write less than
// the first attempt offered.
constexpr long kContextModes = SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;

Result<SSL_CTX*> fail(SSL_CTX* ctx, Error e) {
    SSL_CTX_free(ctx);
    ERR_clear_error();  // later calls must not see this failure's queue
    return e;
}

Result<void> load_certificate_chain(SSL_CTX* ctx, std::string_view path) {
    const std::string p(path);
    if (SSL_CTX_use_certificate_chain_file(ctx, p.c_str()) != 1) return Error::CertLoadFailed;
    return {};
}

// The library already compares a key with the certificate of its type while
// loading it; a key that was read but does not match is a mismatch, not a
// load failure.
bool mismatch_in_error_queue() {
    bool mismatch = false;
    while (const unsigned long e = ERR_get_error()) {
        if (ERR_GET_LIB(e) != ERR_LIB_X509) continue;
        const int reason = ERR_GET_REASON(e);
        if (reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH)
            mismatch = true;
    }
    return mismatch;
}

Result<void> load_key_and_check(SSL_CTX* ctx, std::string_view path) {
    const std::string p(path);
    if (SSL_CTX_use_PrivateKey_file(ctx, p.c_str(), SSL_FILETYPE_PEM) != 1)
        return mismatch_in_error_queue() ? Error::KeyMismatch : Error::KeyLoadFailed;
    if (SSL_CTX_check_private_key(ctx) != 1) return Error::KeyMismatch;
    return {};
}

}  // namespace

int accept_any_certificate(int, X509_STORE_CTX*) {
    return 1;
}

Result<SSL_CTX*> create_server_tls_context(std::string_view cert_path, std::string_view key_path) {
    const SSL_METHOD* method = TLS_server_method();
    if (!method) return fail(nullptr, Error::SslInitFailed);
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (!ctx) return fail(nullptr, Error::SslInitFailed);
    if (auto r = load_certificate_chain(ctx, cert_path); !r) return fail(ctx, r.error());
    if (auto r = load_key_and_check(ctx, key_path); !r) return fail(ctx, r.error());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, accept_any_certificate);
    SSL_CTX_set_options(ctx, kContextOptions);
    SSL_CTX_set_mode(ctx, kContextModes);
    return ctx;
}

Result<SSL_CTX*> create_client_tls_context(std::optional<std::string_view> cert_path,
                                           std::optional<std::string_view> key_path) {
    const SSL_METHOD* method = TLS_client_method();
    if (!method) return fail(nullptr, Error::SslInitFailed);
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (!ctx) return fail(nullptr, Error::SslInitFailed);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (cert_path) {
        if (auto r = load_certificate_chain(ctx, *cert_path); !r) return fail(ctx, r.error());
    }
    if (key_path) {
        if (auto r = load_key_and_check(ctx, *key_path); !r) return fail(ctx, r.error());
    }
    SSL_CTX_set_options(ctx, kContextOptions);
    SSL_CTX_set_mode(ctx, kContextModes);
    return ctx;
}

}  // namespace fenra::s2s
