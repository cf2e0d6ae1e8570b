// The TLS transport of both S2S session kinds: attaching a TLS object to a
// connected socket, the non-blocking handshake step, reading and writing
// through TLS or the plain socket with one mapping of the library's errors,
// the close, and the export of the peer's certificates for DANE.
//
// A Stream (stream.h) holds a TlsConn (its socket and TLS state), a
// ReadBuffer and a WriteQueue. Nothing here blocks or allocates, except the DER export.
//
// The process must ignore SIGPIPE: a TLS write to a socket the peer has reset
// would otherwise end it (plain writes use MSG_NOSIGNAL).
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/result.h"
#include "s2s/net/write_queue.h"

namespace fenra::s2s {

enum class TlsPhase : uint8_t { want_read = 0, want_write = 1, done = 2 };

struct TlsConn {
    int fd = -1;                        // the connection's socket; -1 once closed
    SSL* ssl = nullptr;                 // absent until TLS starts
    bool tls_active = false;            // reads and writes go through ssl
    std::optional<TlsPhase> tls_phase;  // absent on a plain connection

    // While this holds, readiness events belong to tls_handshake_step.
    bool handshaking() const { return tls_phase && *tls_phase != TlsPhase::done; }
};

// Bytes received and not yet consumed by the XML parser.
struct ReadBuffer {
    static constexpr size_t kSize = 8192;
    size_t filled = 0;
    size_t consumed = 0;
    uint8_t data[kSize];

    std::span<const uint8_t> unconsumed() const { return {data + consumed, filled - consumed}; }
    // The same bytes as text, for the XML parser.
    std::string_view unconsumed_text() const {
        return {reinterpret_cast<const char*>(data) + consumed, filled - consumed};
    }
    void consume(size_t n) { consumed += n; }
    // Drops everything received so far (the bytes after a STARTTLS request).
    void clear() { filled = consumed = 0; }
    // Moves the unconsumed bytes to the front.
    void compact();
};

enum class FlushState : uint8_t { complete, pending };

// Server-role TLS on conn.fd: tls set, tls_active, tls_phase want_read.
// TlsInitFailed (conn unchanged) when the TLS object cannot be made or bound
// to the socket. The caller takes the first handshake step.
Result<void> tls_server_attach(TlsConn& conn, SSL_CTX* ctx);

// Client-role TLS on conn.fd with SNI set to REMOTE_DOMAIN (the XMPP domain,
// not the SRV target host). Errors, with conn unchanged: SslInitFailed when
// ctx is null (the caller's "no-client-tls-context"), TlsInitFailed for a
// domain of 256 bytes or more or when the TLS object cannot be made.
Result<void> tls_client_attach(TlsConn& conn, SSL_CTX* ctx, std::string_view remote_domain);

// One handshake step; the phase is stored in conn.tls_phase. want_read: wait
// for read readiness (already registered for every connection); want_write:
// ask for ONE-SHOT write readiness, then step again on the next event of
// either kind. HandshakeFailed for every other outcome.
Result<TlsPhase> tls_handshake_step(TlsConn& conn);

// Compacts BUF, then reads into its free tail (through TLS when active).
// Returns the count of bytes appended; 0 means nothing now (wait for the next
// event). Errors: BufferFull (8192 unconsumed bytes, nothing read),
// ConnectionClosed (close-notify, or end of stream on a plain socket),
// ReadFailed (everything else). A TLS read takes every byte the library has
// already decrypted while room lasts; see tls_has_pending.
Result<size_t> tls_read(TlsConn& conn, ReadBuffer& buf);

// True when the TLS library holds decrypted bytes that did not fit the read
// buffer. No readiness event will announce them: the reader must consume
// from its buffer and call tls_read again.
bool tls_has_pending(const TlsConn& conn);

// Writes the unsent part of QUEUE in one call. complete: everything written
// (the queue is then empty, sent and filled back at 0). pending: wait for
// (one-shot) write readiness and call again; the retry starts at the same
// position. The queue may be appended to, and compacted by append, while a
// TLS write waits to be retried (the TLS object accepts a moved and longer
// buffer). Errors: ConnectionClosed (queue or socket already closed),
// ConnectionReset (any other failure).
Result<FlushState> tls_flush(TlsConn& conn, WriteQueue& queue);

// One close-notify attempt (the peer's is not awaited), the TLS object
// freed, then the socket closed. Closing twice does nothing.
void tls_close(TlsConn& conn);

// Ends our direction only: a close-notify when TLS is active, then shutdown
// for writing. Reading goes on until the peer ends its own direction.
void tls_shutdown_write(TlsConn& conn);

using Der = std::vector<uint8_t>;

// The peer's certificate in DER form, absent without TLS or certificate.
// OutOfMemory is the only error.
Result<std::optional<Der>> peer_certificate_der(const TlsConn& conn);

// The peer's chain as the library keeps it (client side: starting with the
// server's own certificate; server side: without the client's own), each in
// DER form; certificates that cannot be encoded are skipped.
Result<std::vector<Der>> peer_chain_der(const TlsConn& conn);

}  // namespace fenra::s2s
