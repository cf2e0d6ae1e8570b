// fenra-ipc: the core's side of the daemons' IPC protocol, for operators and
// tests. It connects to a daemon's Unix socket, sends one request and prints
// every frame it receives, one line each. While connected it is a core like
// any other, so fenra-s2s may hand it inbound stanzas: those are printed too,
// and before it exits the tool half-closes the connection and reads until the
// daemon closes its end, so that a frame handed over at the last moment still
// reaches a line.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
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
    "       fenra-ipc [COMMAND] --help\n"
    "\n"
    "Speaks the core's side of the IPC protocol of fenra-s2s and fenra-auth-oidc.\n"
    "While connected it counts as a core: a daemon may hand it inbound stanzas\n"
    "and delivery failures. Every frame received is printed, whatever the\n"
    "command, one per line, so that nothing vanishes silently.\n"
    "\n"
    "Commands:\n"
    "  deliver FROM TO STANZA       send a DeliveryRequest, print what arrives\n"
    "  listen                       print every frame received\n"
    "  auth plain USER [PASSWORD]   send a PLAIN AuthRequest, print the answer;\n"
    "                               without PASSWORD it is asked for\n"
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
    "  --help, -h         show this help, or a command's help after its name\n"
    "\n"
    "Exit status: 0 on success (auth: only on AuthSuccess), 1 on failure,\n"
    "2 on a usage error.\n";

// Said by every command's help.
constexpr std::string_view kCoreNote =
    "\n"
    "While connected, fenra-ipc counts as a core: fenra-s2s may hand it inbound\n"
    "stanzas (spread round-robin over the connected cores) and sends it every\n"
    "delivery failure. Every frame received is printed on standard output, one\n"
    "per line, so that nothing vanishes silently; a stanza printed here has not\n"
    "reached fenra-core. Before exiting it waits (up to a second) for the daemon\n"
    "to close its end, printing what still arrives. Messages about the\n"
    "connection go to standard error.\n";

constexpr std::string_view kDeliverHelp =
    "Usage: fenra-ipc --socket PATH [--timeout SECONDS] deliver FROM TO STANZA\n"
    "\n"
    "Asks fenra-s2s to deliver STANZA, one complete XML element such as\n"
    "<message/>, from the address FROM to the address TO, then prints the\n"
    "frames that arrive within the time-out (default 0.5 seconds).\n"
    "The daemon does not acknowledge a delivery; a failed one is reported with\n"
    "a DeliveryFailed frame to every core connected at the time, possibly after\n"
    "this command has exited: run 'fenra-ipc listen' beside it to see those.\n";

constexpr std::string_view kListenHelp =
    "Usage: fenra-ipc --socket PATH [--count N] [--timeout SECONDS] listen\n"
    "\n"
    "Stays connected and prints every frame received: inbound stanzas and\n"
    "delivery failures from fenra-s2s. Without options it runs until it is\n"
    "interrupted (exit status 0) or the daemon closes the connection (1).\n"
    "  --timeout SECONDS  stop after this time (exit status 0)\n"
    "  --count N          stop after N frames; fewer within the time-out, or\n"
    "                     before an interruption, is a failure\n";

constexpr std::string_view kAuthHelp =
    "Usage: fenra-ipc --socket PATH [OPTIONS] auth plain USER [PASSWORD]\n"
    "       fenra-ipc --socket PATH [OPTIONS] auth oauthbearer TOKEN\n"
    "\n"
    "Sends one AuthRequest to fenra-auth-oidc, as a SASL PLAIN login of USER or\n"
    "an OAUTHBEARER login with TOKEN, and prints the answer: AuthSuccess with\n"
    "the account name, or AuthFailure with a condition word such as\n"
    "\"not-authorized\". The exit status is 0 only on AuthSuccess.\n"
    "\n"
    "Without PASSWORD the password is read from the terminal without echo, or,\n"
    "when standard input is not a terminal, from its first line. A password\n"
    "given as an argument is visible to other users in the process list.\n"
    "\n"
    "Options:\n"
    "  --id N             connection id of the request (default 1)\n"
    "  --address ADDR     client address, subject to the per-address rate\n"
    "                     limit (default empty: no such limit)\n"
    "  --account NAME     account name as the core knows it (default empty)\n"
    "  --timeout SECONDS  how long to wait for the answer (default 30)\n";

constexpr std::string_view kRawHelp =
    "Usage: fenra-ipc --socket PATH [--timeout SECONDS] raw TYPE HEX\n"
    "       fenra-ipc --socket PATH [--timeout SECONDS] raw --frame HEX\n"
    "\n"
    "Sends one frame of message type TYPE (decimal) whose body is the bytes\n"
    "written in HEX, or with --frame the bytes of HEX as they are, length field\n"
    "included, then prints the frames that arrive within the time-out (default\n"
    "0.5 seconds). For testing a daemon's handling of odd or malformed frames;\n"
    "a daemon disconnects on a malformed frame (exit status 1).\n";

constexpr size_t kMaxFrame = 4 + fenra::ipc::kMaxPayload;
constexpr size_t kMaxPassword = 4096;  // more never fits in one frame
constexpr double kDrainSeconds = 1.0;

volatile sig_atomic_t g_interrupted = 0;
sigset_t g_wait_mask;  // the signal mask inside waits: the watched signals let through

void on_signal(int) {
    g_interrupted = 1;
}

// SIGINT, SIGTERM and SIGHUP interrupt the wait instead of ending the process,
// so that the connection is closed in order and the terminal's echo is
// restored. They stay blocked except inside the waits (ppoll), so one that
// comes just before a wait still ends it.
void watch_signals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t watched;
    sigemptyset(&watched);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&watched, sig);
    }
    sigprocmask(SIG_BLOCK, &watched, &g_wait_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&g_wait_mask, sig);
}

// Waits up to wait_ms (-1: no limit) until fd is readable: 1 readable (or at
// its end), 0 time-out, -1 interrupted (EINTR) or failed.
int wait_readable(int fd, int wait_ms) {
    pollfd p{fd, POLLIN, 0};
    timespec ts{wait_ms / 1000, static_cast<long>(wait_ms % 1000) * 1000000L};
    return ::ppoll(&p, 1, wait_ms < 0 ? nullptr : &ts, &g_wait_mask);
}

// Runs a call that may block (connect, send) with the watched signals let
// through; errno is kept.
template <class Call>
auto interruptible(Call call) {
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &g_wait_mask, &blocked);
    const auto r = call();
    const int e = errno;
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    errno = e;
    return r;
}

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
    std::string text = "fenra-ipc: ";
    text += what;
    text += arg;
    text += "\nTry 'fenra-ipc --help'.\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
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

// ---- the password ----

// Reads one line from descriptor 0 up to the newline (not kept) or the end of
// input. Fails on a line longer than kMaxPassword, a read error or an
// interruption; an end of input before any byte gives nullopt too.
std::optional<std::string> read_line(bool* too_long) {
    std::string line;
    for (;;) {
        const int ready = wait_readable(0, -1);
        if (ready < 0 && errno == EINTR && !g_interrupted) continue;
        if (ready < 0) return std::nullopt;
        char c;
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) {
            if (line.empty()) return std::nullopt;
            break;
        }
        if (c == '\n') break;
        if (line.size() == kMaxPassword) {
            *too_long = true;
            return std::nullopt;
        }
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The password of `auth plain USER`: from the terminal without echo when
// standard input is one, else the first line of standard input.
std::optional<std::string> read_password(std::string_view user) {
    bool too_long = false;
    if (!::isatty(0)) {
        auto line = read_line(&too_long);
        if (!line)
            fail(too_long ? "password longer than 4096 bytes"
                 : g_interrupted
                     ? "interrupted"
                     : "no password on standard input (give one line, or run on a terminal)");
        return line;
    }
    termios saved;
    if (::tcgetattr(0, &saved) != 0) {
        fail(std::string("cannot read the terminal's settings: ") + std::strerror(errno));
        return std::nullopt;
    }
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    if (::tcsetattr(0, TCSAFLUSH, &quiet) != 0) {
        fail(std::string("cannot turn the terminal's echo off: ") + std::strerror(errno));
        return std::nullopt;
    }
    const std::string prompt = "Password for " + std::string(user) + ": ";
    std::fwrite(prompt.data(), 1, prompt.size(), stderr);
    std::fflush(stderr);
    auto line = read_line(&too_long);
    ::tcsetattr(0, TCSAFLUSH, &saved);
    if (!line) {
        std::fputc('\n', stderr);
        fail(too_long        ? "password longer than 4096 bytes"
             : g_interrupted ? "interrupted"
                             : "no password given");
    }
    return line;
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

// What a wait for the next frame ended with. closed and interrupted say
// nothing on standard error (the caller knows what was awaited); malformed
// and failed have said why.
enum class Got { frame, timeout, closed, interrupted, malformed, failed };

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
        int r;
        do {
            r = interruptible(
                [&] { return ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa); });
        } while (r != 0 && errno == EINTR && !g_interrupted);
        if (r == 0) return true;
        const int e = errno;
        if (e == ENOENT)
            fail("no socket at " + p + " (is the daemon running with this socket path?)");
        else if (e == ECONNREFUSED)
            fail("connection refused at " + p + " (no daemon is listening there)");
        else if (e == ENOTSOCK)
            fail(p + " is not a socket");
        else if (e == EACCES || e == EPERM)
            fail("no permission to connect to " + p +
                 " (the socket's directory is reachable only by the daemons' group)");
        else if (e == EINTR)
            fail("interrupted");
        else
            fail("cannot connect to " + p + ": " + std::strerror(e));
        return false;
    }

    bool send(const uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t w = interruptible([&] { return ::send(fd_, p, n, MSG_NOSIGNAL); });
            if (w < 0 && errno == EINTR && !g_interrupted) continue;
            if (w < 0 && errno == EINTR) {
                fail("interrupted while the request was sent");
                return false;
            }
            if (w < 0) {
                if (errno == EPIPE || errno == ECONNRESET)
                    fail("connection closed by the daemon before the request was sent");
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
            if (closed_) return Got::closed;
            if (g_interrupted) return Got::interrupted;
            int wait_ms = -1;
            if (deadline >= 0) {
                const double left = deadline - now_seconds();
                if (left <= 0) return Got::timeout;
                wait_ms = static_cast<int>(left * 1000) + 1;
            }
            const int r = wait_readable(fd_, wait_ms);
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
                closed_ = true;
                continue;  // frames already read are still handed out
            }
            if (n < 0) {
                fail(std::string("read failed: ") + std::strerror(errno));
                return Got::failed;
            }
            in_.insert(in_.end(), buf, buf + n);
        }
    }

    // Half-closes the connection and prints what the daemon still sends until
    // it closes its end (or a second passes): a frame handed to this
    // connection just before the daemon saw it end is not lost. Returns false
    // when a malformed frame or a failure came instead.
    bool finish() {
        if (closed_) {
            Message m;
            for (;;) {
                const Got g = next(now_seconds(), m);
                if (g != Got::frame) return g != Got::malformed && g != Got::failed;
                print_line(describe(m));
            }
        }
        ::shutdown(fd_, SHUT_WR);
        const double deadline = now_seconds() + kDrainSeconds;
        const sig_atomic_t was_interrupted = g_interrupted;
        g_interrupted = 0;  // a second signal stops the wait
        Message m;
        Got g;
        while ((g = next(deadline, m)) == Got::frame)
            print_line(describe(m));
        g_interrupted = g_interrupted || was_interrupted;
        return g != Got::malformed && g != Got::failed;
    }

  private:
    // One whole frame from the input, decoded; timeout when it is incomplete.
    Got take(Message& m) {
        if (in_.size() < 4) return closed_ && !in_.empty() ? malformed(in_.size()) : Got::timeout;
        const uint32_t len = static_cast<uint32_t>(in_[0]) | static_cast<uint32_t>(in_[1]) << 8 |
                             static_cast<uint32_t>(in_[2]) << 16 |
                             static_cast<uint32_t>(in_[3]) << 24;
        if (len == 0 || len > fenra::ipc::kMaxPayload) return malformed(in_.size());
        if (in_.size() < 4 + static_cast<size_t>(len)) {
            if (closed_) return malformed(in_.size());
            return Got::timeout;
        }
        auto r = fenra::ipc::decode({in_.data() + 4, len});
        if (!r) return malformed(4 + len);
        m = *r;
        taken_ = 4 + len;  // strings of m point into in_ until the next call
        return Got::frame;
    }

    Got malformed(size_t n) {
        fail("malformed answer from the daemon: " + hex_of(in_.data(), std::min<size_t>(n, 64)) +
             (n > 64 ? "..." : "") + (closed_ ? " (then it closed the connection)" : ""));
        in_.clear();
        taken_ = 0;
        return Got::malformed;
    }

    void drop_taken() {
        in_.erase(in_.begin(), in_.begin() + static_cast<ptrdiff_t>(taken_));
        taken_ = 0;
    }

    int fd_ = -1;
    bool closed_ = false;  // the daemon closed its end; in_ may still hold frames
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

// Says on standard error why a wait ended early; returns the exit status 1.
int ended(Got g, const std::string& while_doing) {
    if (g == Got::closed) fail("connection closed by the daemon " + while_doing);
    if (g == Got::interrupted) fail("interrupted " + while_doing);
    return 1;
}

// Prints frames until the deadline, then closes in order: 0 when the deadline
// passed, 1 when the connection ended or broke first.
int print_until(Connection& c, double deadline) {
    Message m;
    for (;;) {
        const Got g = c.next(deadline, m);
        if (g == Got::frame) {
            print_line(describe(m));
            continue;
        }
        if (g == Got::timeout) return c.finish() ? 0 : 1;
        if (g == Got::interrupted) c.finish();
        return ended(g, "while frames were awaited");
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
        if (g == Got::frame) {
            print_line(describe(m));
            ++seen;
            continue;
        }
        const bool finished = g == Got::timeout || g == Got::interrupted;
        if (finished && !c.finish()) return 1;
        if (finished && !o.count) return 0;
        if (finished) {
            fail(std::string(g == Got::timeout ? "timed out" : "interrupted") + " after " +
                 std::to_string(seen) + " of " + std::to_string(*o.count) + " frames");
            return 1;
        }
        return ended(g, "after " + std::to_string(seen) + " frames");
    }
    return c.finish() ? 0 : 1;
}

int cmd_auth(const Options& o) {
    Message m;
    m.type = fenra::ipc::kAuthRequest;
    m.id = o.id;
    m.nstr = 4;
    std::string initial;
    if ((o.args.size() == 3 || o.args.size() == 4) && o.args[1] == "plain") {
        std::string password;
        if (o.args.size() == 4) {
            password = o.args[3];
        } else {
            auto read = read_password(o.args[2]);
            if (!read) return 1;
            password = std::move(*read);
        }
        m.byte = 1;
        initial.push_back('\0');
        initial.append(o.args[2]);
        initial.push_back('\0');
        initial.append(password);
        std::fill(password.begin(), password.end(), '\0');
    } else if (o.args.size() == 3 && o.args[1] == "oauthbearer") {
        m.byte = 3;
        initial =
            "n,,\x01"
            "auth=Bearer ";
        initial.append(o.args[2]);
        initial.append("\x01\x01");
    } else {
        return usage_error("usage: auth plain USER [PASSWORD] | auth oauthbearer TOKEN");
    }
    m.str = {o.address, std::string_view(), o.account, initial};
    Connection c;
    const bool sent = c.open(o.socket) && send_message(c, m);
    std::fill(initial.begin(), initial.end(), '\0');
    if (!sent) return 1;

    const double deadline = deadline_after(o.timeout, 30);
    Message a;
    for (;;) {
        const Got g = c.next(deadline, a);
        if (g == Got::timeout) {
            c.finish();
            fail("no answer within the time-out");
            return 1;
        }
        if (g == Got::interrupted) c.finish();
        if (g != Got::frame) return ended(g, "before it answered");
        print_line(describe(a));
        if (a.type == fenra::ipc::kAuthSuccess || a.type == fenra::ipc::kAuthFailure) {
            const bool success = a.type == fenra::ipc::kAuthSuccess;
            return c.finish() && success ? 0 : 1;
        }
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

struct Command {
    std::string_view name;
    std::string_view help;
    int (*run)(const Options&);
};

constexpr Command kCommands[] = {
    {"deliver", kDeliverHelp, cmd_deliver},
    {"listen", kListenHelp, cmd_listen},
    {"auth", kAuthHelp, cmd_auth},
    {"raw", kRawHelp, cmd_raw},
};

const Command* find_command(std::string_view name) {
    for (const Command& c : kCommands)
        if (c.name == name) return &c;
    return nullptr;
}

void print_text(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (auto status = parse_options(argc, argv, o)) return *status;
    const Command* command = o.args.empty() ? nullptr : find_command(o.args[0]);
    if (!o.args.empty() && !command) return usage_error("unknown command: ", o.args[0]);
    if (o.help) {
        if (command) {
            print_text(command->help);
            print_text(kCoreNote);
        } else {
            print_text(kUsage);
        }
        return 0;
    }
    if (o.socket.empty()) return usage_error("--socket PATH is required");
    if (!command) return usage_error("no command given");
    watch_signals();
    return command->run(o);
}
