// OAUTHBEARER throughput, two halves of one measurement (run_bench.py runs
// both and prints the ratios):
//
//   bench_tokens verify --token JWT (--n N --e E | --x X) [--seconds S] [--cpu C]
//       the baseline: the token's signature checked in a plain EVP loop with
//       the public key built once, and for orientation with the key rebuilt
//       from the JWK for every check
//   bench_tokens json --token JWT [--seconds S] [--cpu C]
//       the JSON share of a check: the token's header and payload decoded,
//       parsed and their claims read, as the validator does, in a loop
//   bench_tokens ipc --socket PATH --token JWT [--seconds S] [--window W]
//                    [--cpu C] [--address A] [--account U] [--daemon-pid P]
//       logins per second through the daemon's IPC socket: AuthRequest frames
//       kept W deep in flight, every answer must be an AuthSuccess
//
// Each prints one line of name=value pairs: rates per second of wall-clock
// time, and per second of CPU time of the verifying thread or the daemon
// (the rate one core would give when the machine is shared).
#include <openssl/evp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "auth/oidc/json_doc.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/jwt_verify.h"
#include "auth/oidc/token_validation.h"
#include "runtime/ipc_codec.h"

namespace {

using namespace fenra;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_tokens: %s\n", what.c_str());
    std::exit(1);
}

double clock_s(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double now_s() {
    return clock_s(CLOCK_MONOTONIC);
}

// CPU seconds a process has run so far (0 when unknown).
double process_cpu_s(int pid) {
    if (pid <= 0) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/schedstat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    unsigned long long ns = 0;
    const int got = std::fscanf(f, "%llu", &ns);
    std::fclose(f);
    return got == 1 ? static_cast<double>(ns) * 1e-9 : 0;
}

struct Options {
    std::string mode, token, n, e, x, socket, address = "127.0.0.1", account = "alice";
    double seconds = 3;
    int window = 16;
    int cpu = -1;
    int daemon_pid = 0;
    bool spin = false;
};

Options parse(int argc, char** argv) {
    if (argc < 2) die("usage: bench_tokens verify|ipc OPTIONS");
    Options o;
    o.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string_view k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--token")
            o.token = v;
        else if (k == "--n")
            o.n = v;
        else if (k == "--e")
            o.e = v;
        else if (k == "--x")
            o.x = v;
        else if (k == "--socket")
            o.socket = v;
        else if (k == "--address")
            o.address = v;
        else if (k == "--account")
            o.account = v;
        else if (k == "--seconds")
            o.seconds = std::atof(v);
        else if (k == "--window")
            o.window = std::atoi(v);
        else if (k == "--cpu")
            o.cpu = std::atoi(v);
        else if (k == "--spin")
            o.spin = std::atoi(v) != 0;
        else if (k == "--daemon-pid")
            o.daemon_pid = std::atoi(v);
        else
            die("unknown option " + std::string(k));
    }
    if (o.token.empty()) die("--token is required");
    return o;
}

void pin(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) die("sched_setaffinity failed");
}

// --- baseline

struct Token {
    std::string input;
    std::vector<unsigned char> sig;
};

Token split(const std::string& jwt) {
    const size_t dot = jwt.rfind('.');
    if (dot == std::string::npos) die("not a JWT");
    Token t{jwt.substr(0, dot), std::vector<unsigned char>(512)};
    const auto n =
        oidc::base64url_decode(std::string_view(jwt).substr(dot + 1), t.sig.data(), t.sig.size());
    if (!n) die("signature does not decode");
    t.sig.resize(*n);
    return t;
}

bool evp_verify(EVP_PKEY* key, bool rsa, const Token& t) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool good = false;
    if (rsa) {
        good = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
               EVP_DigestVerifyUpdate(ctx, t.input.data(), t.input.size()) == 1 &&
               EVP_DigestVerifyFinal(ctx, t.sig.data(), t.sig.size()) == 1;
    } else {
        good = EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
               EVP_DigestVerify(ctx, t.sig.data(), t.sig.size(),
                                reinterpret_cast<const unsigned char*>(t.input.data()),
                                t.input.size()) == 1;
    }
    EVP_MD_CTX_free(ctx);
    return good;
}

oidc::PkeyPtr build(const Options& o) {
    return o.x.empty() ? oidc::build_rsa_key(o.n, o.e) : oidc::build_ed25519_key(o.x);
}

// Checks per second of wall-clock and of thread CPU time; every check must
// pass.
struct Rate {
    double wall = 0;
    double cpu = 0;
};

template <class F>
Rate rate(double seconds, F&& check) {
    for (int i = 0; i < 50; ++i)
        if (!check()) die("a check failed");
    uint64_t count = 0;
    const double start = now_s();
    const double cpu_start = clock_s(CLOCK_THREAD_CPUTIME_ID);
    double elapsed = 0;
    do {
        for (int i = 0; i < 64; ++i)
            if (!check()) die("a check failed");
        count += 64;
        elapsed = now_s() - start;
    } while (elapsed < seconds);
    const double cpu = clock_s(CLOCK_THREAD_CPUTIME_ID) - cpu_start;
    return Rate{static_cast<double>(count) / elapsed, static_cast<double>(count) / cpu};
}

int run_verify(const Options& o) {
    pin(o.cpu);
    const bool rsa = o.x.empty();
    const Token t = split(o.token);
    oidc::PkeyPtr key = build(o);
    if (!key) die("the key does not build");
    const Rate once = rate(o.seconds, [&] { return evp_verify(key.get(), rsa, t); });
    const Rate rebuilt = rate(o.seconds / 2, [&] {
        oidc::PkeyPtr k = build(o);
        return k && evp_verify(k.get(), rsa, t);
    });
    std::printf(
        "verify_key_built_once=%.0f verify_key_built_once_cpu=%.0f "
        "verify_key_rebuilt=%.0f verify_key_rebuilt_cpu=%.0f\n",
        once.wall, once.cpu, rebuilt.wall, rebuilt.cpu);
    return 0;
}

int run_json(const Options& o) {
    pin(o.cpu);
    const auto parts = oidc::split_jwt(o.token);
    if (!parts) die("not a JWT");
    auto jwt = std::make_unique<oidc::DecodedJwt>();
    oidc::JsonParser header(oidc::kMaxJwtHeader), payload(oidc::kMaxJwtPayload);
    const Rate r = rate(o.seconds, [&] {
        if (!oidc::decode_jwt(*parts, *jwt)) return false;
        const auto h = header.parse_object(jwt->header(), true);
        const auto p = payload.parse_object(jwt->payload(), true);
        if (!h || !p) return false;
        bool good = oidc::string_member(*h, "kid") && oidc::string_member(*h, "alg");
        for (const char* name : {"iss", "sub", "preferred_username", "email", "picture", "azp"})
            good = good && oidc::string_member(*p, name);
        for (const char* name : {"exp", "nbf", "iat"})
            good = good && oidc::date_member(*p, name);
        return good && oidc::bool_member(*p, "email_verified") && oidc::member(*p, "aud");
    });
    std::printf("json_parses=%.0f json_parses_cpu=%.0f\n", r.wall, r.cpu);
    return 0;
}

// --- logins over IPC

class Client {
  public:
    Client(const std::string& path, bool spin) : spin_(spin) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof sa.sun_path) die("socket");
        std::memcpy(sa.sun_path, path.data(), path.size());
        if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) die("connect " + path);
    }
    ~Client() { close(fd_); }

    void send(const std::vector<uint8_t>& frame) {
        size_t off = 0;
        while (off < frame.size()) {
            const ssize_t n = ::write(fd_, frame.data() + off, frame.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) die("write to the daemon failed");
            off += static_cast<size_t>(n);
        }
    }

    // Reads what is there and hands every complete answer to on_answer.
    template <class F>
    void receive(F&& on_answer) {
        if (buf_.size() - len_ < 65536) buf_.resize(len_ + 65536);
        const ssize_t n =
            ::recv(fd_, buf_.data() + len_, buf_.size() - len_, spin_ ? MSG_DONTWAIT : 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) die("the daemon closed the connection");
        len_ += static_cast<size_t>(n);
        size_t pos = 0;
        while (len_ - pos >= 4) {
            uint32_t flen;
            std::memcpy(&flen, buf_.data() + pos, 4);
            if (len_ - pos - 4 < flen) break;
            const auto m = ipc::decode({buf_.data() + pos + 4, flen});
            if (!m) die("a malformed answer");
            on_answer(*m);
            pos += 4 + flen;
        }
        std::memmove(buf_.data(), buf_.data() + pos, len_ - pos);
        len_ -= pos;
    }

  private:
    bool spin_;  // poll the socket without sleeping, as a busy core would
    int fd_ = -1;
    std::vector<uint8_t> buf_;
    size_t len_ = 0;
};

std::vector<uint8_t> auth_frame(const Options& o) {
    static const std::string initial =
        "n,,\x01host=localhost\x01"
        "auth=Bearer ";
    const std::string message = initial + o.token + "\x01\x01";
    ipc::Message m;
    m.type = ipc::kAuthRequest;
    m.id = 1;
    m.byte = 3;
    m.nstr = 4;
    m.str = {o.address, {}, o.account, message};
    std::vector<uint8_t> frame(ipc::kFrameScratch);
    const auto n = ipc::encode(m, frame);
    if (!n) die("the request does not fit a frame");
    frame.resize(*n);
    return frame;
}

int run_ipc(const Options& o) {
    pin(o.cpu);
    Client c(o.socket, o.spin);
    const std::vector<uint8_t> frame = auth_frame(o);
    uint64_t answered = 0;
    auto on_answer = [&](const ipc::Message& m) {
        if (m.type != ipc::kAuthSuccess) die("an answer other than AuthSuccess");
        ++answered;
    };

    // Warm-up: the JWKS is fetched and the key built before timing starts.
    c.send(frame);
    while (answered < 1)
        c.receive(on_answer);
    for (int i = 0; i < o.window; ++i)
        c.send(frame);
    uint64_t sent = answered + static_cast<uint64_t>(o.window);

    const uint64_t warm = answered + 200;
    double start = 0;
    double daemon_start = 0;
    uint64_t at_start = 0;
    for (;;) {
        c.receive(on_answer);
        if (start == 0 && answered >= warm) {
            start = now_s();
            daemon_start = process_cpu_s(o.daemon_pid);
            at_start = answered;
        }
        if (start != 0 && now_s() - start >= o.seconds) break;
        while (sent < answered + static_cast<uint64_t>(o.window)) {
            c.send(frame);
            ++sent;
        }
    }
    const double elapsed = now_s() - start;
    const double daemon_cpu = process_cpu_s(o.daemon_pid) - daemon_start;
    const uint64_t counted = answered - at_start;
    while (answered < sent)
        c.receive(on_answer);
    const double per_cpu = daemon_cpu > 0 ? static_cast<double>(counted) / daemon_cpu : 0;
    std::printf(
        "logins_per_second=%.0f logins_per_daemon_cpu_second=%.0f daemon_busy=%.3f "
        "logins=%llu all_success=1\n",
        static_cast<double>(counted) / elapsed, per_cpu, daemon_cpu / elapsed,
        static_cast<unsigned long long>(sent));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.mode == "verify") return run_verify(o);
    if (o.mode == "json") return run_json(o);
    if (o.mode == "ipc") {
        if (o.socket.empty()) die("--socket is required");
        return run_ipc(o);
    }
    die("unknown mode " + o.mode);
}
