#include "s2s/net/tls.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <new>

namespace fenra::s2s {
namespace {

constexpr size_t kDomainBufferSize = 257;

// Writes may be retried after the write buffer was appended to or compacted.
constexpr long kConnModes = SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;

// A new TLS object bound to FD, or nullptr. Each library call starts with an
// empty error queue so that SSL_get_error sees only its own failure.
SSL* new_tls(SSL_CTX* ctx, int fd) {
    ERR_clear_error();
    SSL* ssl = SSL_new(ctx);
    if (!ssl) return nullptr;
    if (SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_mode(ssl, kConnModes);
    return ssl;
}

void attach(TlsConn& conn, SSL* ssl) {
    conn.ssl = ssl;
    conn.tls_active = true;
    conn.tls_phase = TlsPhase::want_read;
}

int clamp_int(size_t n) {
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// One read into DST. 0: nothing now.
Result<size_t> read_once(TlsConn& conn, std::span<uint8_t> dst) {
    if (conn.tls_active) {
        ERR_clear_error();
        const int n = SSL_read(conn.ssl, dst.data(), clamp_int(dst.size()));
        if (n > 0) return static_cast<size_t>(n);
        const int code = SSL_get_error(conn.ssl, n);
        ERR_clear_error();
        switch (code) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                return size_t{0};
            case SSL_ERROR_ZERO_RETURN:
                return Error::ConnectionClosed;
            default:
                return Error::ReadFailed;
        }
    }
    if (conn.fd < 0) return Error::ReadFailed;
    const ssize_t n = ::read(conn.fd, dst.data(), dst.size());
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) return Error::ConnectionClosed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return size_t{0};
    return Error::ReadFailed;
}

// One write of SRC. 0: nothing now.
Result<size_t> write_once(TlsConn& conn, std::span<const uint8_t> src) {
    if (conn.tls_active) {
        ERR_clear_error();
        const int n = SSL_write(conn.ssl, src.data(), clamp_int(src.size()));
        if (n > 0) return static_cast<size_t>(n);
        const int code = SSL_get_error(conn.ssl, n);
        ERR_clear_error();
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return size_t{0};
        return Error::ConnectionReset;
    }
    const ssize_t n = ::send(conn.fd, src.data(), src.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return size_t{0};
    return Error::ConnectionReset;
}

Result<std::optional<Der>> encode(X509* cert) {
    const int len = i2d_X509(cert, nullptr);
    if (len <= 0) return std::optional<Der>{};
    try {
        Der der(static_cast<size_t>(len));
        unsigned char* p = der.data();
        if (i2d_X509(cert, &p) != len) return std::optional<Der>{};
        return std::optional<Der>(std::move(der));
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

}  // namespace

void ReadBuffer::compact() {
    if (consumed == 0) return;
    std::memmove(data, data + consumed, filled - consumed);
    filled -= consumed;
    consumed = 0;
}

Result<void> tls_server_attach(TlsConn& conn, SSL_CTX* ctx) {
    if (!ctx) return Error::TlsInitFailed;
    SSL* ssl = new_tls(ctx, conn.fd);
    if (!ssl) return Error::TlsInitFailed;
    SSL_set_accept_state(ssl);
    attach(conn, ssl);
    return {};
}

Result<void> tls_client_attach(TlsConn& conn, SSL_CTX* ctx, std::string_view remote_domain) {
    if (!ctx) return Error::SslInitFailed;
    char domain[kDomainBufferSize];
    if (remote_domain.size() >= kDomainBufferSize - 1) return Error::TlsInitFailed;
    std::memcpy(domain, remote_domain.data(), remote_domain.size());
    domain[remote_domain.size()] = '\0';
    SSL* ssl = new_tls(ctx, conn.fd);
    if (!ssl) return Error::TlsInitFailed;
    SSL_set_connect_state(ssl);
    SSL_set_tlsext_host_name(ssl, domain);
    ERR_clear_error();  // a refused SNI name is not our failure
    attach(conn, ssl);
    return {};
}

Result<TlsPhase> tls_handshake_step(TlsConn& conn) {
    if (!conn.ssl) return Error::HandshakeFailed;
    ERR_clear_error();
    const int r = SSL_do_handshake(conn.ssl);
    if (r == 1) {
        conn.tls_phase = TlsPhase::done;
        return TlsPhase::done;
    }
    const int code = SSL_get_error(conn.ssl, r);
    ERR_clear_error();
    if (code == SSL_ERROR_WANT_READ) {
        conn.tls_phase = TlsPhase::want_read;
        return TlsPhase::want_read;
    }
    if (code == SSL_ERROR_WANT_WRITE) {
        conn.tls_phase = TlsPhase::want_write;
        return TlsPhase::want_write;
    }
    return Error::HandshakeFailed;
}

Result<size_t> tls_read(TlsConn& conn, ReadBuffer& buf) {
    buf.compact();
    if (buf.filled == ReadBuffer::kSize) return Error::BufferFull;
    size_t total = 0;
    do {
        auto n = read_once(conn, {buf.data + buf.filled, ReadBuffer::kSize - buf.filled});
        if (!n) {
            // Bytes already appended are reported first; the error shows up
            // again on the next call.
            if (total > 0) return total;
            return n.error();
        }
        if (*n == 0) break;
        buf.filled += *n;
        total += *n;
    } while (buf.filled < ReadBuffer::kSize && tls_has_pending(conn));
    return total;
}

bool tls_has_pending(const TlsConn& conn) {
    return conn.tls_active && SSL_pending(conn.ssl) > 0;
}

Result<FlushState> tls_flush(TlsConn& conn, WriteQueue& queue) {
    if (queue.empty()) return FlushState::complete;
    if (queue.closed || conn.fd < 0) return Error::ConnectionClosed;
    const std::string_view unsent = queue.pending();
    auto n = write_once(conn, {reinterpret_cast<const uint8_t*>(unsent.data()), unsent.size()});
    if (!n) return n.error();
    queue.consume(*n);
    return queue.empty() ? FlushState::complete : FlushState::pending;
}

void tls_close(TlsConn& conn) {
    if (conn.ssl) {
        ERR_clear_error();
        SSL_shutdown(conn.ssl);
        SSL_free(conn.ssl);
        ERR_clear_error();
        conn.ssl = nullptr;
    }
    conn.tls_active = false;
    if (conn.fd >= 0) {
        ::close(conn.fd);
        conn.fd = -1;
    }
}

void tls_shutdown_write(TlsConn& conn) {
    if (conn.ssl) {
        ERR_clear_error();
        SSL_shutdown(conn.ssl);
        ERR_clear_error();
    }
    if (conn.fd >= 0) (void)::shutdown(conn.fd, SHUT_WR);
}

Result<std::optional<Der>> peer_certificate_der(const TlsConn& conn) {
    if (!conn.ssl) return std::optional<Der>{};
    X509* cert = SSL_get0_peer_certificate(conn.ssl);
    if (!cert) return std::optional<Der>{};
    return encode(cert);
}

Result<std::vector<Der>> peer_chain_der(const TlsConn& conn) {
    std::vector<Der> out;
    if (!conn.ssl) return out;
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(conn.ssl);
    if (!chain) return out;
    try {
        const int count = sk_X509_num(chain);
        out.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            auto der = encode(sk_X509_value(chain, i));
            if (!der) return der.error();
            if (*der) out.push_back(std::move(**der));
        }
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

}  // namespace fenra::s2s
