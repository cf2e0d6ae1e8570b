#include "auth/oidc/https_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

#include "runtime/number.h"

namespace fenra::oidc {
namespace {

// Trust anchors tried in order when no CA file is configured.
constexpr const char* kCaBundles[] = {
    "/usr/local/share/certs/ca-root-nss.crt",
    "/etc/ssl/cert.pem",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/certs/ca-certificates.crt",
};

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events. False when the deadline passed first or
// poll failed; readiness with an error is left to the next call to report.
bool wait_fd(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, static_cast<int>(left));
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

// Everything one exchange holds, released on every path. The request carries
// credentials and the response may carry tokens, so both are wiped.
struct Exchange {
    addrinfo* addrs = nullptr;
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::unique_ptr<char[]> request;
    size_t request_len = 0;
    std::unique_ptr<char[]> response;
    size_t response_len = 0;

    ~Exchange() {
        if (request) OPENSSL_cleanse(request.get(), request_len);
        if (response) OPENSSL_cleanse(response.get(), response_len);
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) close(fd);
        if (addrs) freeaddrinfo(addrs);
        ERR_clear_error();
    }
};

// A zero-terminated copy of a short string.
template <size_t N>
struct CString {
    char s[N + 1];
    explicit CString(std::string_view v) {
        std::memcpy(s, v.data(), v.size());
        s[v.size()] = '\0';
    }
};

Result<void> tcp_connect(Exchange& x, const char* host, uint16_t port, int64_t deadline) {
    char portz[8];
    *std::to_chars(portz, portz + 7, port).ptr = '\0';

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, portz, &hints, &x.addrs) != 0 || x.addrs == nullptr) {
        x.addrs = nullptr;
        return Error::ConnectionFailed;
    }
    const addrinfo* a = x.addrs;
    x.fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (x.fd < 0) return Error::ConnectionFailed;
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(x.fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    if (connect(x.fd, a->ai_addr, a->ai_addrlen) == 0) return {};
    if (errno != EINPROGRESS) return Error::ConnectionFailed;
    if (!wait_fd(x.fd, POLLOUT, deadline)) return Error::ConnectionFailed;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(x.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return Error::ConnectionFailed;
    return {};
}

// Waits for what a non-blocking TLS call asked for. False on any other
// outcome of the call, or when the deadline passes.
bool tls_wait(Exchange& x, int rc, int64_t deadline) {
    switch (SSL_get_error(x.ssl, rc)) {
        case SSL_ERROR_WANT_READ:
            return wait_fd(x.fd, POLLIN, deadline);
        case SSL_ERROR_WANT_WRITE:
            return wait_fd(x.fd, POLLOUT, deadline);
        default:
            return false;
    }
}

Result<void> tls_handshake(Exchange& x, const char* host, std::optional<std::string_view> ca_file,
                           int64_t deadline) {
    x.ctx = SSL_CTX_new(TLS_client_method());
    if (!x.ctx) return Error::TlsInitFailed;
    SSL_CTX_set_verify(x.ctx, SSL_VERIFY_PEER, nullptr);
    if (ca_file) {
        if (ca_file->size() <= kMaxCaPathLen) {
            CString<kMaxCaPathLen> path(*ca_file);
            SSL_CTX_load_verify_locations(x.ctx, path.s, nullptr);
        }
    } else {
        for (const char* bundle : kCaBundles)
            if (SSL_CTX_load_verify_locations(x.ctx, bundle, nullptr) == 1) break;
    }
    ERR_clear_error();

    x.ssl = SSL_new(x.ctx);
    if (!x.ssl) return Error::TlsInitFailed;
    SSL_set_mode(x.ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_set_fd(x.ssl, x.fd) != 1) return Error::TlsInitFailed;

    // The certificate must name the host: its IP address for a literal, else
    // its DNS name, which is also sent as the server name.
    in_addr literal;
    if (inet_pton(AF_INET, host, &literal) == 1) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(x.ssl), host) != 1)
            return Error::TlsInitFailed;
    } else {
        if (SSL_set_tlsext_host_name(x.ssl, host) != 1) return Error::TlsInitFailed;
        SSL_set_hostflags(x.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(x.ssl, host) != 1) return Error::TlsInitFailed;
    }

    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(x.ssl);
        if (rc == 1) return {};
        if (!tls_wait(x, rc, deadline)) return Error::TlsHandshakeFailed;
    }
}

Result<void> tls_write_all(Exchange& x, const char* p, size_t n, int64_t deadline) {
    while (n > 0) {
        ERR_clear_error();
        int chunk = n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
        int rc = SSL_write(x.ssl, p, chunk);
        if (rc > 0) {
            p += rc;
            n -= static_cast<size_t>(rc);
            continue;
        }
        if (!tls_wait(x, rc, deadline)) return Error::TlsWriteFailed;
    }
    return {};
}

// Reads into the response buffer until the peer closes, the buffer is full,
// or a bound passes; a time-out is InvalidResponse.
Result<void> tls_read_all(Exchange& x, int phase_ms, int64_t total) {
    int64_t deadline = std::min(now_ms() + phase_ms, total);
    while (x.response_len < kMaxResponse) {
        ERR_clear_error();
        int rc = SSL_read(x.ssl, x.response.get() + x.response_len,
                          static_cast<int>(kMaxResponse - x.response_len));
        if (rc > 0) {
            x.response_len += static_cast<size_t>(rc);
            deadline = std::min(now_ms() + phase_ms, total);
            continue;
        }
        int e = SSL_get_error(x.ssl, rc);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;  // end of stream
        if (!tls_wait(x, rc, deadline)) return Error::InvalidResponse;
    }
    return {};
}

size_t put(char* out, size_t at, std::string_view s) {
    if (!s.empty()) std::memcpy(out + at, s.data(), s.size());
    return at + s.size();
}

// The request bytes: request line and Host header, the fixed headers, the
// type and length of a body, the blank line and the body.
size_t format_request(char* out, std::string_view method, const UrlParts& url,
                      std::optional<std::string_view> body,
                      std::optional<std::string_view> content_type) {
    size_t n = 0;
    n = put(out, n, method);
    n = put(out, n, " ");
    n = put(out, n, url.path);
    n = put(out, n, " HTTP/1.1\r\nHost: ");
    n = put(out, n, url.host);
    n = put(out, n, "\r\nUser-Agent: fenra/0.1\r\nConnection: close\r\n");
    if (body) {
        if (content_type) {
            n = put(out, n, "Content-Type: ");
            n = put(out, n, *content_type);
            n = put(out, n, "\r\n");
        }
        n = put(out, n, "Content-Length: ");
        n = static_cast<size_t>(std::to_chars(out + n, out + n + 20, body->size()).ptr - out);
        n = put(out, n, "\r\n");
    }
    n = put(out, n, "\r\n");
    if (body) n = put(out, n, *body);
    return n;
}

}  // namespace

Result<UrlParts> split_url(std::string_view url) {
    constexpr std::string_view scheme = "https://";
    if (url.size() < scheme.size() || url.substr(0, scheme.size()) != scheme)
        return Error::InvalidUrl;
    std::string_view rest = url.substr(scheme.size());
    UrlParts u;
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    u.path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    size_t colon = authority.rfind(':');
    u.host = authority.substr(0, colon);
    if (colon != std::string_view::npos)
        u.port = parse_u16(authority.substr(colon + 1)).value_or(443);
    if (u.host.empty() || u.host.find('\0') != std::string_view::npos) return Error::InvalidUrl;
    if (u.host.size() > kMaxHostLen) return Error::ConnectionFailed;
    return u;
}

Result<ParsedResponse> parse_response(std::string_view raw) {
    if (raw.size() < 12 || raw.substr(0, 7) != "HTTP/1." || raw[8] != ' ')
        return Error::InvalidResponse;
    uint16_t status = 0;
    for (size_t i = 9; i < 12; ++i) {
        char c = raw[i];
        if (c < '0' || c > '9') return Error::InvalidResponse;
        status = static_cast<uint16_t>(status * 10 + (c - '0'));
    }
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string_view::npos) return Error::InvalidResponse;
    return ParsedResponse{status, raw.substr(end + 4)};
}

Result<HttpsResponse> https_request(std::string_view method, std::string_view url,
                                    std::optional<std::string_view> body,
                                    std::optional<std::string_view> content_type,
                                    std::optional<std::string_view> ca_file, HttpsBounds bounds) {
    const int64_t total = now_ms() + bounds.total_ms;
    auto parts = split_url(url);
    if (!parts) return parts.error();
    CString<kMaxHostLen> host(parts->host);

    Exchange x;
    FENRA_TRY(tcp_connect(x, host.s, parts->port, std::min(now_ms() + bounds.phase_ms, total)));
    FENRA_TRY(tls_handshake(x, host.s, ca_file, std::min(now_ms() + bounds.phase_ms, total)));

    // The request line and the Host header must fit in the request head.
    if (method.size() + parts->path.size() + parts->host.size() + 20 > kMaxRequestHead)
        return Error::OutOfMemory;
    size_t tail_cap = 64 + (body ? 64 + (content_type ? content_type->size() : 0) : 0);
    size_t cap = kMaxRequestHead + tail_cap + (body ? body->size() : 0);
    x.request.reset(new (std::nothrow) char[cap]);
    if (!x.request) return Error::OutOfMemory;
    x.request_len = format_request(x.request.get(), method, *parts, body, content_type);
    FENRA_TRY(tls_write_all(x, x.request.get(), x.request_len,
                            std::min(now_ms() + bounds.phase_ms, total)));

    x.response.reset(new (std::nothrow) char[kMaxResponse]);
    if (!x.response) return Error::OutOfMemory;
    FENRA_TRY(tls_read_all(x, bounds.phase_ms, total));
    auto parsed = parse_response(std::string_view(x.response.get(), x.response_len));
    if (!parsed) return parsed.error();

    HttpsResponse r;
    r.status = parsed->status;
    r.size = parsed->body.size();
    if (r.size > 0) {
        r.data.reset(new (std::nothrow) char[r.size]);
        if (!r.data) return Error::OutOfMemory;
        std::memcpy(r.data.get(), parsed->body.data(), r.size);
    }
    return r;
}

HttpsResponse::~HttpsResponse() {
    if (data) OPENSSL_cleanse(data.get(), size);
}

}  // namespace fenra::oidc
