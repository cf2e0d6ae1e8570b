// The two process-wide TLS contexts of fenra-s2s. The TLS library never
// decides trust here: the server side asks for a peer certificate and accepts
// anything, the client side verifies nothing; DANE or dialback decide later.
#pragma once

#include <openssl/ssl.h>

#include <optional>
#include <string_view>

#include "runtime/result.h"

namespace fenra::s2s {

// Errors, by the first step that fails: SslInitFailed (method or context),
// CertLoadFailed (chain file), KeyLoadFailed (key file), KeyMismatch (key
// check). A half-built context is freed before the error is returned.
Result<SSL_CTX*> create_server_tls_context(std::string_view cert_path, std::string_view key_path);

// The certificate chain is loaded when cert_path is given; the key and the key
// check when key_path is given (so a key without a certificate fails with
// KeyMismatch). Same errors as above.
Result<SSL_CTX*> create_client_tls_context(std::optional<std::string_view> cert_path,
                                           std::optional<std::string_view> key_path);

// Verify callback of the server context: every peer certificate, missing or
// invalid, passes the handshake.
int accept_any_certificate(int preverify_ok, X509_STORE_CTX* store);

}  // namespace fenra::s2s
