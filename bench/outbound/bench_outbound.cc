// The fast ends of the outbound benchmark: the two test cores of a pair of
// fenra-s2s daemons, and a plain TLS connection for the baseline.
//
//   bench_outbound deliver A_SOCK B_SOCK COUNT
//       core A asks for COUNT deliveries to bob@b.test (after one warm-up
//       delivery that sets the stream up); core B reads the COUNT inbound
//       stanzas. Prints "elapsed NS" from the first request to the last
//       stanza.
//   bench_outbound streams A_SOCK CERT KEY COUNT
//       one delivery each to bob@d0.test ... bob@d{COUNT-1}.test, whose
//       server on 127.0.0.2:5269 this is: COUNT new streams from daemon A,
//       each with STARTTLS and dialback verified by a real callback to A.
//       Prints "elapsed NS" from the requests until every stanza arrived.
//   bench_outbound tls-sink ADDRESS PORT CERT KEY COUNT
//       accepts one TLS connection, prints "ready", reads COUNT stanzas'
//       worth of bytes and prints "elapsed NS" from its first byte.
//   bench_outbound tls-push ADDRESS PORT SOURCE COUNT
//       connects from SOURCE, completes the handshake, writes the stanza
//       COUNT times.
//   bench_outbound tls-accept ADDRESS PORT CERT KEY COUNT
//       prints "ready", then completes COUNT TLS handshakes one after another.
//   bench_outbound tls-connect ADDRESS PORT SOURCE COUNT
//       COUNT connections with a TLS handshake each, all open at once;
//       prints "elapsed NS".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kFrom = "alice@a.test/desk";
constexpr const char* kStanza =
    "<message from='alice@a.test/desk' to='bob@b.test' type='chat' id='bench1'>"
    "<body>Shall I compare thee to a summer's day?</body></message>";
constexpr int kDeliveryRequest = 16;
constexpr int kInboundStanza = 17;
constexpr int kDeliveryFailed = 18;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench_outbound: %s\n", what);
    ERR_print_errors_fp(stderr);
    std::exit(2);
}

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int unix_connect(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        die("cannot connect to an IPC socket");
    return fd;
}

sockaddr_in inet(const char* address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &sa.sin_addr) != 1) die("bad address");
    return sa;
}

void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) die("write failed");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void put_string(std::string& out, std::string_view s) {
    out.push_back(static_cast<char>(s.size() & 0xff));
    out.push_back(static_cast<char>(s.size() >> 8));
    out.append(s);
}

std::string delivery_frame(std::string_view to, std::string_view stanza) {
    std::string body(1, static_cast<char>(kDeliveryRequest));
    put_string(body, kFrom);
    put_string(body, to);
    put_string(body, stanza);
    std::string frame(4, '\0');
    const uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i)
        frame[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xff);
    return frame + body;
}

// Reads frames from a core's socket and counts the inbound stanzas.
class FrameReader {
  public:
    explicit FrameReader(int fd) : fd_(fd) {}

    // Blocks until COUNT more inbound stanzas have arrived.
    void wait_stanzas(long count) {
        long seen = 0;
        while (seen < count) {
            while (have_frame()) {
                const uint8_t type = static_cast<uint8_t>(buf_[pos_ + 4]);
                if (type == kDeliveryFailed) die("a delivery failed");
                if (type == kInboundStanza) ++seen;
                pos_ += 4 + length();
            }
            if (pos_ > 0) {
                buf_.erase(0, pos_);
                pos_ = 0;
            }
            if (seen >= count) break;
            char chunk[65536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) die("core connection closed");
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    size_t length() const {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i)
            n = n << 8 | static_cast<uint8_t>(buf_[pos_ + static_cast<size_t>(i)]);
        return n;
    }
    bool have_frame() const {
        return buf_.size() - pos_ >= 4 && buf_.size() - pos_ >= 4 + length();
    }

    int fd_;
    std::string buf_;
    size_t pos_ = 0;
};

int deliver(const char* a_sock, const char* b_sock, long count) {
    const int a = unix_connect(a_sock);
    const int b = unix_connect(b_sock);
    FrameReader reader(b);
    const std::string one = delivery_frame("bob@b.test", kStanza);
    write_all(a, one.data(), one.size());
    reader.wait_stanzas(1);  // the stream is up

    std::string batch;
    for (int i = 0; i < 256; ++i)
        batch += one;
    const long long start = now_ns();
    std::thread writer([&] {
        long left = count;
        while (left >= 256) {
            write_all(a, batch.data(), batch.size());
            left -= 256;
        }
        for (; left > 0; --left)
            write_all(a, one.data(), one.size());
    });
    reader.wait_stanzas(count);
    const long long end = now_ns();
    writer.join();
    std::printf("elapsed %lld\n", end - start);
    return 0;
}

SSL_CTX* server_ctx(const char* cert, const char* key) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1)
        die("server context");
    return ctx;
}

int listen_on(const char* address, int port) {
    const int l = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = inet(address, port);
    if (::bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(l, 256) != 0)
        die("listen");
    std::printf("ready\n");
    std::fflush(stdout);
    return l;
}

int connect_from(const char* address, int port, const char* source) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in src = inet(source, 0);
    sockaddr_in dst = inet(address, port);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0)
        die("connect");
    return fd;
}

void release(SSL* ssl) {
    const int fd = SSL_get_fd(ssl);
    SSL_free(ssl);
    ::close(fd);
}

SSL* tls_accept(SSL_CTX* ctx, int l) {
    const int fd = ::accept(l, nullptr, nullptr);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (fd < 0 || SSL_accept(ssl) != 1) die("TLS accept");
    return ssl;
}

SSL* tls_connect(SSL_CTX* ctx, int fd) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "b.test");
    if (SSL_connect(ssl) != 1) die("TLS connect");
    return ssl;
}

// One stream from daemon A, received as dN.test: STARTTLS, dialback with a
// real callback to A (a db:verify on a connection of its own, which A answers
// in any state), then the one stanza.
class StreamReceiver {
  public:
    StreamReceiver(SSL_CTX* ctx, int fd, int n) : ctx_(ctx), fd_(fd), n_(n) {}
    ~StreamReceiver() {
        SSL_free(ssl_);
        ::close(fd_);
    }
    StreamReceiver(const StreamReceiver&) = delete;
    StreamReceiver& operator=(const StreamReceiver&) = delete;

    void run() {
        // Streams arrive in the order A's lookups end, not in the order of the
        // deliveries: the domain this stream is for is the one A names.
        const std::string id = "bench-" + std::to_string(n_);
        const size_t head_end = read_until("version='1.0'>");
        const size_t to = in_.rfind(" to='", head_end);
        if (to == std::string::npos) die("stream header without to");
        const size_t to_end = in_.find('\'', to + 5);
        const std::string domain = in_.substr(to + 5, to_end - to - 5);
        send(header(domain, "a.test", id) +
             "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'>"
             "<required/></starttls></stream:features>");
        read_until("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
        send("<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        if (SSL_accept(ssl_) != 1) die("stream TLS accept");
        in_.clear();
        read_until("version='1.0'>");
        send(header(domain, "a.test", id) +
             "<stream:features><dialback xmlns='urn:xmpp:features:dialback'/></stream:features>");
        const size_t end = read_until("</db:result>");
        const size_t open = in_.rfind('>', end);
        const std::string key = in_.substr(open + 1, end - open - 1);
        if (!callback(domain, id, key)) die("the dialback key was refused");
        send("<db:result from='" + domain + "' to='a.test' type='valid'/>");
        read_until("</message>");
    }

  private:
    static std::string header(const std::string& from, const std::string& to,
                              const std::string& id) {
        return "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
               "xmlns:stream='http://etherx.jabber.org/streams' "
               "xmlns:db='jabber:server:dialback' from='" +
               from + "' to='" + to + "' id='" + id + "' version='1.0'>";
    }

    bool callback(const std::string& domain, const std::string& id, const std::string& key) {
        const int fd = connect_from("127.0.0.1", 5269, "127.0.0.2");
        const std::string out = header(domain, "a.test", id) +
                                "<db:verify xmlns:db='jabber:server:dialback' from='" + domain +
                                "' to='a.test' id='" + id + "'>" + key + "</db:verify>";
        write_all(fd, out.data(), out.size());
        std::string got;
        char buf[4096];
        while (got.find("type='") == std::string::npos ||
               got.find("/>", got.find("type='")) == std::string::npos) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) die("callback connection closed");
            got.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
        return got.find("type='valid'") != std::string::npos;
    }

    void send(const std::string& text) {
        if (ssl_) {
            if (SSL_write(ssl_, text.data(), static_cast<int>(text.size())) <= 0)
                die("stream write");
        } else {
            write_all(fd_, text.data(), text.size());
        }
    }

    size_t read_until(const std::string& mark) {
        char buf[4096];
        for (;;) {
            const size_t at = in_.find(mark);
            if (at != std::string::npos) return at;
            const int n = ssl_ ? SSL_read(ssl_, buf, sizeof buf)
                               : static_cast<int>(::read(fd_, buf, sizeof buf));
            if (n <= 0) die("stream closed early");
            in_.append(buf, static_cast<size_t>(n));
        }
    }

    SSL_CTX* ctx_;
    int fd_;
    int n_;
    SSL* ssl_ = nullptr;
    std::string in_;
};

int streams(const char* a_sock, const char* cert, const char* key, long count) {
    SSL_CTX* ctx = server_ctx(cert, key);
    const int l = listen_on("127.0.0.2", 5269);
    const int a = unix_connect(a_sock);
    std::string all;
    for (long i = 0; i < count; ++i)
        all += delivery_frame("bob@d" + std::to_string(i) + ".test", kStanza);
    const long long start = now_ns();
    write_all(a, all.data(), all.size());
    std::vector<std::thread> threads;
    for (long i = 0; i < count; ++i) {
        const int fd = ::accept(l, nullptr, nullptr);
        if (fd < 0) die("accept");
        threads.emplace_back([ctx, fd, i] { StreamReceiver(ctx, fd, static_cast<int>(i)).run(); });
    }
    for (std::thread& t : threads)
        t.join();
    std::printf("elapsed %lld\n", now_ns() - start);
    SSL_CTX_free(ctx);
    ::close(a);
    ::close(l);
    return 0;
}

int tls_sink(const char* address, int port, const char* cert, const char* key, long count) {
    SSL_CTX* ctx = server_ctx(cert, key);
    const int l = listen_on(address, port);
    SSL* ssl = tls_accept(ctx, l);
    long long want = static_cast<long long>(std::strlen(kStanza)) * count;
    long long start = 0;
    char buf[65536];
    while (want > 0) {
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0) die("sink read");
        if (start == 0) start = now_ns();
        want -= n;
    }
    std::printf("elapsed %lld\n", now_ns() - start);
    release(ssl);
    SSL_CTX_free(ctx);
    ::close(l);
    return 0;
}

int tls_push(const char* address, int port, const char* source, long count) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = tls_connect(ctx, connect_from(address, port, source));
    std::string batch;
    for (int i = 0; i < 256; ++i)
        batch += kStanza;
    const std::string one = kStanza;
    long left = count;
    while (left > 0) {
        const std::string& b = left >= 256 ? batch : one;
        if (SSL_write(ssl, b.data(), static_cast<int>(b.size())) <= 0) die("push write");
        left -= left >= 256 ? 256 : 1;
    }
    char c;
    SSL_read(ssl, &c, 1);  // until the sink closes
    release(ssl);
    SSL_CTX_free(ctx);
    return 0;
}

int tls_accept_many(const char* address, int port, const char* cert, const char* key, long count) {
    SSL_CTX* ctx = server_ctx(cert, key);
    const int l = listen_on(address, port);
    std::vector<SSL*> done;
    for (long i = 0; i < count; ++i)
        done.push_back(tls_accept(ctx, l));
    for (SSL* s : done)
        release(s);
    SSL_CTX_free(ctx);
    ::close(l);
    return 0;
}

int tls_connect_many(const char* address, int port, const char* source, long count) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    const long long start = now_ns();
    std::vector<SSL*> open;
    for (long i = 0; i < count; ++i)
        open.push_back(tls_connect(ctx, connect_from(address, port, source)));
    std::printf("elapsed %lld\n", now_ns() - start);
    for (SSL* s : open)
        release(s);
    SSL_CTX_free(ctx);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "deliver" && argc == 5) return deliver(argv[2], argv[3], std::atol(argv[4]));
    if (mode == "streams" && argc == 6)
        return streams(argv[2], argv[3], argv[4], std::atol(argv[5]));
    if (mode == "tls-sink" && argc == 7)
        return tls_sink(argv[2], std::atoi(argv[3]), argv[4], argv[5], std::atol(argv[6]));
    if (mode == "tls-push" && argc == 6)
        return tls_push(argv[2], std::atoi(argv[3]), argv[4], std::atol(argv[5]));
    if (mode == "tls-accept" && argc == 7)
        return tls_accept_many(argv[2], std::atoi(argv[3]), argv[4], argv[5], std::atol(argv[6]));
    if (mode == "tls-connect" && argc == 6)
        return tls_connect_many(argv[2], std::atoi(argv[3]), argv[4], std::atol(argv[5]));
    std::fprintf(stderr, "usage: see the head of bench_outbound.cc\n");
    return 2;
}
