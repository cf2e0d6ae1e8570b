// The fenra-s2s command line: the whole configuration of the daemon.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "runtime/log.h"
#include "runtime/result.h"

namespace fenra::s2s {

// The log scope of everything in fenra-s2s but the IPC server.
inline constexpr std::string_view kLogScope = "fenra-s2s";

// Option values point at the argument strings themselves (zero-terminated,
// alive for the whole process); nothing is copied or normalised.
struct S2sConfig {
    std::string_view host = "localhost";
    std::string_view bind_address = "0.0.0.0";
    uint16_t port = 5269;
    std::optional<std::string_view> core_socket;
    std::optional<std::string_view> cert_path;
    std::optional<std::string_view> key_path;
    std::optional<int32_t> listen_fd;  // negative: no S2S listener at all
    std::optional<std::string_view> dialback_secret_file;
    log::Level log_level = log::Level::info;
    bool stanza_log = true;  // false: no line per stanza forwarded
    // Nameservers "ADDR[@PORT]" in the order given; empty: those of
    // /etc/resolv.conf.
    std::vector<std::string_view> dns_servers;
    // None: the system's root key (s2s/net/resolver.h).
    std::optional<std::string_view> dns_trust_anchor;
    // Liveness, in seconds (see kUsage).
    uint32_t connect_timeout = 15;
    uint32_t negotiation_timeout = 60;
    uint32_t dialback_timeout = 30;
    uint32_t outbound_idle_timeout = 600;
    uint32_t delivery_timeout = 60;
    uint32_t close_timeout = 5;
    uint32_t inbound_idle_timeout = 600;
    // Unauthenticated inbound connections one address (IPv4, IPv6 /64) may hold.
    uint32_t max_unauthenticated_per_address = 8;
    // The largest stanza carried either way, as received and as rebuilt.
    uint32_t max_stanza_size = 65535;
    // Deliveries that may wait for one remote domain.
    uint32_t max_queued_deliveries = 1000;
};

inline constexpr uint32_t kMinStanzaSize = 10000;
inline constexpr uint32_t kMaxStanzaSize = 65535;  // the longest frame string

inline constexpr std::string_view kUsage =
    "Usage: fenra-s2s [OPTIONS]\n"
    "\n"
    "Options:\n"
    "  --host HOST         Local XMPP domain (default: localhost)\n"
    "  --address ADDR      Bind address (default: 0.0.0.0)\n"
    "  --port PORT         S2S listener port (default: 5269)\n"
    "  --core-socket PATH  IPC socket for fenra-core communication\n"
    "  --cert PATH         TLS certificate file (PEM)\n"
    "  --key PATH          TLS private key file (PEM)\n"
    "  --dialback-secret-file PATH\n"
    "                      Dialback secret shared by every instance of the domain\n"
    "                      (at least 32 bytes; mode 0600 or stricter)\n"
    "  --log-level LEVEL   error, warn or info (default: info)\n"
    "  --no-stanza-log     No log line per stanza forwarded\n"
    "  --dns-server ADDR   Nameserver ADDR[@PORT], repeatable (default: resolv.conf)\n"
    "  --dns-trust-anchor FILE\n"
    "                      DNSSEC trust anchor (default: the system's root key)\n"
    "  --connect-timeout SECONDS\n"
    "                      Outbound TCP connect and TLS, per target (default: 15)\n"
    "  --negotiation-timeout SECONDS\n"
    "                      Until a stream is authenticated (default: 60)\n"
    "  --close-timeout SECONDS\n"
    "                      For the peer's close after ours (default: 5)\n"
    "  --inbound-idle-timeout SECONDS\n"
    "                      Inbound stream without bytes received (default: 600)\n"
    "  --dialback-timeout SECONDS\n"
    "                      For the authoritative server's answer (default: 30)\n"
    "  --outbound-idle-timeout SECONDS\n"
    "                      Outbound stream without stanzas (default: 600)\n"
    "  --delivery-timeout SECONDS\n"
    "                      Delivery waiting for its stream (default: 60)\n"
    "  --max-unauthenticated-per-address N\n"
    "                      Inbound connections still negotiating from one address\n"
    "                      (IPv4, IPv6 /64) (default: 8)\n"
    "  --help, -h          Show this help\n";

struct CommandLine {
    S2sConfig config;
    bool help = false;  // --help or -h seen: print kUsage and exit 0
};

// Parses argv[1..argc). Each option with a value takes the next argument,
// whatever it looks like; a later option overrides an earlier one (each
// --dns-server adds one more); --help
// stops the parse at once. Writes the error line of a bad or missing value
// (then InvalidArgs) and a warning for each unknown argument (skipped); the
// warnings come after the parse, left out when the log level given is error.
Result<CommandLine> parse_command_line(int argc, const char* const* argv);

}  // namespace fenra::s2s
