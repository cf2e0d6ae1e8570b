// The two ends of the inbound benchmark that must be fast: a remote server
// pushing chat messages, and a plain TLS sink for the baseline.
//
//   bench_inbound peer xmpp PORT CERT KEY COUNT
//       connects to fenra-s2s on 127.0.0.1:PORT as b.test, negotiates
//       STARTTLS and SASL EXTERNAL (CERT must match b.test's TLSA record),
//       prints "ready", then on a line from standard input pushes COUNT
//       messages and prints "start NS" before the first byte and "pushed NS"
//       after the last (CLOCK_MONOTONIC); it closes on the next input line.
//   bench_inbound peer tls PORT COUNT
//       the same push straight after a TLS handshake with a sink.
//   bench_inbound sink PORT CERT KEY BYTES
//       accepts one TLS connection on 127.0.0.1:PORT, prints "ready" after
//       listen, reads and discards BYTES bytes and prints "end NS".
//   bench_inbound stanza
//       prints the message the peer sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kStanza =
    "<message from='juliet@b.test/balcony' to='romeo@a.test' type='chat' id='bench1'>"
    "<body>Art thou not Romeo, and a Montague?</body></message>";
constexpr size_t kBatch = 512;  // messages per write

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench_inbound: %s\n", what);
    ERR_print_errors_fp(stderr);
    std::exit(2);
}

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

sockaddr_in loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in sa = loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        die("connect");
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void write_plain(int fd, const std::string& s) {
    if (write(fd, s.data(), s.size()) != static_cast<ssize_t>(s.size())) die("write");
}

void write_tls(SSL* ssl, const char* p, size_t n) {
    while (n > 0) {
        const int w = SSL_write(ssl, p, static_cast<int>(n));
        if (w <= 0) die("SSL_write");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Reads until MARKER (or OTHER, when given) has arrived; returns everything read.
std::string read_until(int fd, SSL* ssl, const char* marker, const char* other = nullptr) {
    std::string got;
    char buf[4096];
    while (got.find(marker) == std::string::npos &&
           (!other || got.find(other) == std::string::npos)) {
        const int n =
            ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(read(fd, buf, sizeof buf));
        if (n <= 0) die((std::string("connection ended waiting for ") + marker).c_str());
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string header() {
    return "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams' "
           "xmlns:db='jabber:server:dialback' from='b.test' to='a.test' version='1.0'>";
}

SSL* client_tls(int fd, const char* cert, const char* key) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) die("SSL_CTX_new");
    if (cert && (SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
                 SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1))
        die("client certificate");
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "a.test");
    if (SSL_connect(ssl) != 1) die("TLS handshake");
    return ssl;
}

void push(SSL* ssl, long long count) {
    std::string batch;
    for (size_t i = 0; i < kBatch; ++i)
        batch += kStanza;
    const size_t one = std::strlen(kStanza);
    std::printf("start %lld\n", now_ns());
    std::fflush(stdout);
    for (long long left = count; left > 0;) {
        const long long n = left < static_cast<long long>(kBatch) ? left : kBatch;
        write_tls(ssl, batch.data(), static_cast<size_t>(n) * one);
        left -= n;
    }
    std::printf("pushed %lld\n", now_ns());
    std::fflush(stdout);
}

void wait_line() {
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) return;
}

int peer(int argc, char** argv) {
    const std::string mode = argv[2];
    const int port = std::atoi(argv[3]);
    const int fd = connect_to(port);
    SSL* ssl = nullptr;
    long long count = 0;
    if (mode == "xmpp" && argc == 7) {
        count = std::atoll(argv[6]);
        write_plain(fd, header());
        read_until(fd, nullptr, "</stream:features>");
        write_plain(fd, "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
        read_until(fd, nullptr, "<proceed");
        ssl = client_tls(fd, argv[4], argv[5]);
        write_tls(ssl, header().data(), header().size());
        if (read_until(fd, ssl, "</stream:features>").find("EXTERNAL") == std::string::npos)
            die("EXTERNAL not offered");
        const std::string auth =
            "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>=</auth>";
        write_tls(ssl, auth.data(), auth.size());
        read_until(fd, ssl, "<success");
        write_tls(ssl, header().data(), header().size());
        // The features after authentication: empty, or the stream limits only.
        read_until(fd, ssl, "<stream:features/>", "</stream:features>");
    } else if (mode == "tls" && argc == 5) {
        count = std::atoll(argv[4]);
        ssl = client_tls(fd, nullptr, nullptr);
    } else {
        die("usage");
    }
    std::printf("ready\n");
    std::fflush(stdout);
    wait_line();
    push(ssl, count);
    wait_line();
    SSL_shutdown(ssl);
    close(fd);
    return 0;
}

int sink(char** argv) {
    const int port = std::atoi(argv[2]);
    const long long want = std::atoll(argv[5]);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, argv[3]) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, argv[4], SSL_FILETYPE_PEM) != 1)
        die("server context");
    const int lfd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = loopback(port);
    if (bind(lfd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd, 1) != 0)
        die("listen");
    std::printf("ready\n");
    std::fflush(stdout);
    const int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) die("accept");
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) die("TLS accept");
    static char buf[1 << 16];
    long long got = 0;
    while (got < want) {
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) die("sink read");
        got += n;
    }
    std::printf("end %lld\n", now_ns());
    std::fflush(stdout);
    SSL_shutdown(ssl);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "peer" && argc >= 4) return peer(argc, argv);
    if (cmd == "sink" && argc == 6) return sink(argv);
    if (cmd == "stanza") {
        std::printf("%s", kStanza);
        return 0;
    }
    die("usage: bench_inbound peer xmpp|tls ... | sink PORT CERT KEY BYTES | stanza");
}
