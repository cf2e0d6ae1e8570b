// fenra-ipc: the core's side of the daemons' IPC protocol, for operators and
// tests. It connects to a daemon's Unix socket, sends one request and prints
// every frame it receives, one line each.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/ipc_codec.h"
#include "runtime/number.h"

namespace {

using fenra::ipc::Message;

constexpr std::string_view kUsage =
    "Usage: fenra-ipc --socket PATH [OPTIONS] COMMAND ...\n"
    "\n"
    "Speaks the core's side of the IPC protocol of fenra-s2s and fenra-auth-oidc.\n"
    "While connected it counts as a core: a daemon may hand it inbound stanzas\n"
    "and delivery failures, and every frame received is printed, one per line.\n"
    "\n"
    "Commands:\n"
    "  deliver FROM TO STANZA       send a DeliveryRequest, print answers\n"
    "  listen                       print every frame received\n"
    "  auth plain USER PASSWORD     send a PLAIN AuthRequest, print the answer\n"
    "  auth oauthbearer TOKEN       send an OAUTHBEARER AuthRequest, print the answer\n"
    "  raw TYPE HEX                 send a frame of type TYPE with body HEX\n"
    "  raw --frame HEX              send HEX as it is (length field included)\n"
    "\n"
    "Options:\n"
    "  --socket PATH      the daemon's IPC socket (required)\n"
    "  --timeout SECONDS  how long to wait for frames (deliver, raw: 0.5;\n"
    "                     auth: 30; listen: until interrupted)\n"
    "  --count N          listen: stop after N frames\n"
    "  --id N             auth: connection id (default 1)\n"
    "  --address ADDR     auth: client address (default empty)\n"
    "  --account NAME     auth: account name (default empty)\n"
    "  --help, -h         show this help\n"
    "\n"
    "Exit status: 0 on success (auth: only on AuthSuccess), 1 on failure,\n"
    "2 on a usage error.\n";

constexpr size_t kMaxFrame = 4 + fenra::ipc::kMaxDeclaredLength;

struct Options {
    std::string_view socket;
    std::optional<double> timeout;
    std::optional<uint64_t> count;
    uint32_t id = 1;
    std::string_view address;
    std::string_view account;
    bool whole_frame = false;
    bool help = false;
    std::vector<std::string_view> args;
};

int usage_error(const char* what, std::string_view arg = {}) {
    std::fprintf(stderr, "fenra-ipc: %s%.*s\n", what, static_cast<int>(arg.size()), arg.data());
    std::fprintf(stderr, "Try 'fenra-ipc --help'.\n");
    return 2;
}

void fail(const std::string& message) {
    std::fprintf(stderr, "fenra-ipc: %s\n", message.c_str());
}

std::optional<double> parse_seconds(std::string_view s) {
    const std::string t(s);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || end != t.c_str() + t.size() || errno != 0 || !(v >= 0) || v > 1e6)
        return std::nullopt;
    return v;
}

// Options may stand anywhere; everything else is the command and its arguments.
std::optional<int> parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--frame") {
            o.whole_frame = true;
        } else if (a == "--socket" || a == "--timeout" || a == "--count" || a == "--id" ||
                   a == "--address" || a == "--account") {
            if (!has_value) return usage_error("missing value for ", a);
            const std::string_view v = argv[++i];
            if (a == "--socket") {
                o.socket = v;
            } else if (a == "--timeout") {
                o.timeout = parse_seconds(v);
                if (!o.timeout) return usage_error("invalid time-out: ", v);
            } else if (a == "--count") {
                o.count = fenra::parse_unsigned(v, UINT32_MAX);
                if (!o.count) return usage_error("invalid count: ", v);
            } else if (a == "--id") {
                const auto id = fenra::parse_u32(v);
                if (!id) return usage_error("invalid connection id: ", v);
                o.id = *id;
            } else if (a == "--address") {
                o.address = v;
            } else {
                o.account = v;
            }
        } else {
            o.args.push_back(a);
        }
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view s) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (s.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string hex_of(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// ---- printing ----

void put_quoted(std::string& out, std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += ch;
        }
    }
    out += '"';
}

void put_string_fields(std::string& out, const Message& m,
                       std::initializer_list<const char*> names) {
    size_t i = 0;
    for (const char* name : names) {
        out += ' ';
        out += name;
        out += '=';
        put_quoted(out, m.str[i++]);
    }
}

const char* type_name(uint8_t type) {
    switch (type) {
        case fenra::ipc::kAuthRequest:
            return "AuthRequest";
        case fenra::ipc::kAuthChallenge:
            return "AuthChallenge";
        case fenra::ipc::kAuthSuccess:
            return "AuthSuccess";
        case fenra::ipc::kAuthFailure:
            return "AuthFailure";
        case fenra::ipc::kAuthResponse:
            return "AuthResponse";
        case fenra::ipc::kDeliveryRequest:
            return "DeliveryRequest";
        case fenra::ipc::kInboundStanza:
            return "InboundStanza";
        case fenra::ipc::kDeliveryFailed:
            return "DeliveryFailed";
    }
    return nullptr;
}

std::string describe(const Message& m) {
    std::string out;
    const char* name = type_name(m.type);
    out += name ? name : "Message" + std::to_string(m.type);
    if (m.type >= 1 && m.type <= 11) out += " id=" + std::to_string(m.id);
    switch (m.type) {
        case fenra::ipc::kAuthRequest:
            out += " mechanism=" + std::to_string(m.byte);
            put_string_fields(out, m, {"address"});
            out += " flag=" + std::to_string(m.flag);
            out += " reserved=";
            put_quoted(out, m.str[1]);
            out += " account=";
            put_quoted(out, m.str[2]);
            out += " initial=";
            put_quoted(out, m.str[3]);
            break;
        case fenra::ipc::kAuthChallenge:
        case fenra::ipc::kAuthResponse:
        case fenra::ipc::kType10:
            put_string_fields(out, m, {"data"});
            break;
        case fenra::ipc::kAuthSuccess:
            put_string_fields(out, m, {"username", "second", "third"});
            break;
        case fenra::ipc::kAuthFailure:
            put_string_fields(out, m, {"condition"});
            break;
        case fenra::ipc::kType6:
            put_string_fields(out, m, {"s1", "s2", "s3", "s4"});
            break;
        case fenra::ipc::kType8:
            put_string_fields(out, m, {"s1", "s2"});
            break;
        case fenra::ipc::kType7:
        case fenra::ipc::kType9:
        case fenra::ipc::kType11:
            out += " ok=" + std::to_string(m.byte);
            put_string_fields(out, m, {"condition"});
            break;
        case fenra::ipc::kType12:
            out += " count=" + std::to_string(m.count) + " items=";
            for (uint8_t i = 0; i < m.count; ++i) {
                if (i) out += ',';
                out += std::to_string(m.items[i]);
            }
            break;
        case fenra::ipc::kDeliveryRequest:
        case fenra::ipc::kInboundStanza:
            put_string_fields(out, m, {"from", "to", "stanza"});
            break;
        case fenra::ipc::kDeliveryFailed:
            put_string_fields(out, m, {"from", "to", "condition"});
            break;
    }
    out += '\n';
    return out;
}

void print_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// ---- the connection ----

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

enum class Got { frame, timeout, closed, malformed, failed };

class Connection {
  public:
    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(std::string_view path) {
        const std::string p(path);
        sockaddr_un sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sun_family = AF_UNIX;
        if (p.size() >= sizeof sa.sun_path) {
            fail("socket path too long (" + std::to_string(p.size()) + " bytes): " + p);
            return false;
        }
        std::memcpy(sa.sun_path, p.data(), p.size());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            fail(std::string("cannot create a socket: ") + std::strerror(errno));
            return false;
        }
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
        const int e = errno;
        if (e == ENOENT)
            fail("no socket at " + p + " (is the daemon running with this socket path?)");
        else if (e == ECONNREFUSED)
            fail("connection refused at " + p + " (no daemon is listening there)");
        else if (e == ENOTSOCK)
            fail(p + " is not a socket");
        else
            fail("cannot connect to " + p + ": " + std::strerror(e));
        return false;
    }

    bool send(const uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                if (errno == EPIPE || errno == ECONNRESET)
                    fail("connection closed by the daemon");
                else
                    fail(std::string("write failed: ") + std::strerror(errno));
                return false;
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    // Waits until deadline (a negative one waits forever) for one whole frame.
    Got next(double deadline, Message& m) {
        drop_taken();
        for (;;) {
            const Got g = take(m);
            if (g != Got::timeout) return g;
            int wait_ms = -1;
            if (deadline >= 0) {
                const double left = deadline - now_seconds();
                if (left <= 0) return Got::timeout;
                wait_ms = static_cast<int>(left * 1000) + 1;
            }
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, wait_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                fail(std::string("poll failed: ") + std::strerror(errno));
                return Got::failed;
            }
            if (r == 0) continue;
            uint8_t buf[16384];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                fail("connection closed by the daemon");
                return Got::closed;
            }
            if (n < 0) {
                fail(std::string("read failed: ") + std::strerror(errno));
                return Got::failed;
            }
            in_.insert(in_.end(), buf, buf + n);
        }
    }

  private:
    // One whole frame from the input, decoded; timeout when it is incomplete.
    Got take(Message& m) {
        if (in_.size() < 4) return Got::timeout;
        const uint32_t len = static_cast<uint32_t>(in_[0]) | static_cast<uint32_t>(in_[1]) << 8 |
                             static_cast<uint32_t>(in_[2]) << 16 |
                             static_cast<uint32_t>(in_[3]) << 24;
        if (len == 0 || len > fenra::ipc::kMaxDeclaredLength) return malformed(in_.size());
        if (in_.size() < 4 + static_cast<size_t>(len)) return Got::timeout;
        auto r = fenra::ipc::decode({in_.data() + 4, len});
        if (!r) return malformed(4 + len);
        m = *r;
        taken_ = 4 + len;  // strings of m point into in_ until the next call
        return Got::frame;
    }

    Got malformed(size_t n) {
        fail("malformed answer from the daemon: " + hex_of(in_.data(), std::min<size_t>(n, 64)) +
             (n > 64 ? "..." : ""));
        return Got::malformed;
    }

    void drop_taken() {
        in_.erase(in_.begin(), in_.begin() + static_cast<ptrdiff_t>(taken_));
        taken_ = 0;
    }

    int fd_ = -1;
    std::vector<uint8_t> in_;
    size_t taken_ = 0;
};

double deadline_after(std::optional<double> timeout, double fallback) {
    const double t = timeout.value_or(fallback);
    return t < 0 ? -1 : now_seconds() + t;
}

bool send_message(Connection& c, const Message& m) {
    std::vector<uint8_t> frame(kMaxFrame);
    auto n = fenra::ipc::encode(m, frame);
    if (!n) {
        fail("message too large for one frame");
        return false;
    }
    return c.send(frame.data(), *n);
}

// Prints frames until the deadline; 0 when it passed, 1 when the connection ended.
int print_until(Connection& c, double deadline) {
    Message m;
    for (;;) {
        const Got g = c.next(deadline, m);
        if (g == Got::timeout) return 0;
        if (g != Got::frame) return 1;
        print_line(describe(m));
    }
}

// ---- commands ----

int cmd_deliver(const Options& o) {
    if (o.args.size() != 4) return usage_error("usage: deliver FROM TO STANZA");
    const Message m =
        fenra::ipc::delivery(fenra::ipc::kDeliveryRequest, o.args[1], o.args[2], o.args[3]);
    Connection c;
    if (!c.open(o.socket) || !send_message(c, m)) return 1;
    return print_until(c, deadline_after(o.timeout, 0.5));
}

int cmd_listen(const Options& o) {
    if (o.args.size() != 1) return usage_error("usage: listen [--count N] [--timeout SECONDS]");
    Connection c;
    if (!c.open(o.socket)) return 1;
    const double deadline = deadline_after(o.timeout, -1);
    uint64_t seen = 0;
    Message m;
    while (!o.count || seen < *o.count) {
        const Got g = c.next(deadline, m);
        if (g == Got::timeout) {
            if (!o.count) return 0;
            fail("timed out after " + std::to_string(seen) + " of " + std::to_string(*o.count) +
                 " frames");
            return 1;
        }
        if (g != Got::frame) return 1;
        print_line(describe(m));
        ++seen;
    }
    return 0;
}

int cmd_auth(const Options& o) {
    Message m;
    m.type = fenra::ipc::kAuthRequest;
    m.id = o.id;
    m.nstr = 4;
    std::string initial;
    if (o.args.size() == 4 && o.args[1] == "plain") {
        m.byte = 1;
        initial.push_back('\0');
        initial.append(o.args[2]);
        initial.push_back('\0');
        initial.append(o.args[3]);
    } else if (o.args.size() == 3 && o.args[1] == "oauthbearer") {
        m.byte = 3;
        initial =
            "n,,\x01"
            "auth=Bearer ";
        initial.append(o.args[2]);
        initial.append("\x01\x01");
    } else {
        return usage_error("usage: auth plain USER PASSWORD | auth oauthbearer TOKEN");
    }
    m.str = {o.address, std::string_view(), o.account, initial};
    Connection c;
    if (!c.open(o.socket) || !send_message(c, m)) return 1;

    const double deadline = deadline_after(o.timeout, 30);
    Message a;
    for (;;) {
        const Got g = c.next(deadline, a);
        if (g == Got::timeout) {
            fail("no answer within the time-out");
            return 1;
        }
        if (g != Got::frame) return 1;
        print_line(describe(a));
        if (a.type == fenra::ipc::kAuthSuccess) return 0;
        if (a.type == fenra::ipc::kAuthFailure) return 1;
    }
}

int cmd_raw(const Options& o) {
    std::vector<uint8_t> frame;
    if (o.whole_frame) {
        if (o.args.size() != 2) return usage_error("usage: raw --frame HEX");
        auto bytes = parse_hex(o.args[1]);
        if (!bytes) return usage_error("invalid hex: ", o.args[1]);
        frame = std::move(*bytes);
    } else {
        if (o.args.size() != 3) return usage_error("usage: raw TYPE HEX");
        const auto type = fenra::parse_unsigned(o.args[1], 255);
        if (!type) return usage_error("invalid type: ", o.args[1]);
        auto body = parse_hex(o.args[2]);
        if (!body) return usage_error("invalid hex: ", o.args[2]);
        const uint32_t len = static_cast<uint32_t>(1 + body->size());
        frame = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
                 static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 24),
                 static_cast<uint8_t>(*type)};
        frame.insert(frame.end(), body->begin(), body->end());
    }
    Connection c;
    if (!c.open(o.socket) || !c.send(frame.data(), frame.size())) return 1;
    return print_until(c, deadline_after(o.timeout, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (auto status = parse_options(argc, argv, o)) return *status;
    if (o.help) {
        std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
        return 0;
    }
    if (o.socket.empty()) return usage_error("--socket PATH is required");
    if (o.args.empty()) return usage_error("no command given");
    const std::string_view cmd = o.args[0];
    if (cmd == "deliver") return cmd_deliver(o);
    if (cmd == "listen") return cmd_listen(o);
    if (cmd == "auth") return cmd_auth(o);
    if (cmd == "raw") return cmd_raw(o);
    return usage_error("unknown command: ", cmd);
}
