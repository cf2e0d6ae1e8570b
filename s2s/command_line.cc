#include "s2s/command_line.h"

#include <new>
#include <vector>

#include "runtime/log.h"
#include "runtime/number.h"
#include "s2s/net/resolver.h"

namespace fenra::s2s {
namespace {

enum class Option : uint8_t {
    host,
    address,
    port,
    core_socket,
    cert,
    key,
    listen_fd,
    dialback_secret_file,
    max_stanza_size,
    max_queued_deliveries,
    log_level,
    no_stanza_log,
    dns_server,
    dns_trust_anchor,
    config,
    help,
    unknown,
};

Option option_of(std::string_view a) {
    if (a == "--host") return Option::host;
    if (a == "--address" || a == "--bind") return Option::address;
    if (a == "--port") return Option::port;
    if (a == "--core-socket") return Option::core_socket;
    if (a == "--cert") return Option::cert;
    if (a == "--key") return Option::key;
    if (a == "--listen-fd") return Option::listen_fd;
    if (a == "--dialback-secret-file") return Option::dialback_secret_file;
    if (a == "--max-stanza-size") return Option::max_stanza_size;
    if (a == "--max-queued-deliveries") return Option::max_queued_deliveries;
    if (a == "--log-level") return Option::log_level;
    if (a == "--no-stanza-log") return Option::no_stanza_log;
    if (a == "--dns-server") return Option::dns_server;
    if (a == "--dns-trust-anchor") return Option::dns_trust_anchor;
    if (a == "--config" || a == "-c") return Option::config;
    if (a == "--help" || a == "-h") return Option::help;
    return Option::unknown;
}

// The error line for a value-taking option given as the last argument.
std::string_view missing_value_message(Option o) {
    switch (o) {
        case Option::host:
            return "--host requires a value";
        case Option::address:
            return "--address requires a value";
        case Option::port:
            return "--port requires a value";
        case Option::core_socket:
            return "--core-socket requires a value";
        case Option::cert:
            return "--cert requires a value";
        case Option::key:
            return "--key requires a value";
        case Option::listen_fd:
            return "--listen-fd requires a value";
        case Option::dialback_secret_file:
            return "--dialback-secret-file requires a value";
        case Option::max_stanza_size:
            return "--max-stanza-size requires a value";
        case Option::max_queued_deliveries:
            return "--max-queued-deliveries requires a value";
        case Option::log_level:
            return "--log-level requires a value";
        case Option::no_stanza_log:
        case Option::dns_server:
            return "--dns-server requires a value";
        case Option::dns_trust_anchor:
            return "--dns-trust-anchor requires a value";
        case Option::config:
        case Option::help:
        case Option::unknown:
            break;
    }
    return {};
}

// The unknown arguments are warned about once the log level is known: after
// the parse, or before the error line that ends it.
void warn_unknown(const S2sConfig& c, const std::vector<std::string_view>& unknown) {
    if (c.log_level < log::Level::warn) return;
    for (std::string_view a : unknown)
        log::warn(kLogScope, {"unknown argument: ", a});
}

Error fail(const S2sConfig& c, const std::vector<std::string_view>& unknown, log::Pieces pieces) {
    warn_unknown(c, unknown);
    log::error(kLogScope, pieces);
    return Error::InvalidArgs;
}

// The options that take a count (of seconds or connections), at least 1.
struct CountOption {
    std::string_view name;
    uint32_t S2sConfig::*field;
};
constexpr CountOption kCountOptions[] = {
    {"--connect-timeout", &S2sConfig::connect_timeout},
    {"--negotiation-timeout", &S2sConfig::negotiation_timeout},
    {"--dialback-timeout", &S2sConfig::dialback_timeout},
    {"--outbound-idle-timeout", &S2sConfig::outbound_idle_timeout},
    {"--delivery-timeout", &S2sConfig::delivery_timeout},
    {"--close-timeout", &S2sConfig::close_timeout},
    {"--inbound-idle-timeout", &S2sConfig::inbound_idle_timeout},
    {"--max-unauthenticated-per-address", &S2sConfig::max_unauthenticated_per_address},
};
// A day at most; enough for any of them.
constexpr uint64_t kCountMax = 86400;

const CountOption* count_option(std::string_view a) {
    for (const CountOption& o : kCountOptions)
        if (o.name == a) return &o;
    return nullptr;
}

}  // namespace

Result<CommandLine> parse_command_line(int argc, const char* const* argv) {
    CommandLine cl;
    S2sConfig& c = cl.config;
    std::vector<std::string_view> unknown;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (const CountOption* co = count_option(arg)) {
            if (i + 1 >= argc) return fail(c, unknown, {arg, " requires a value"});
            const std::string_view value = argv[++i];
            const auto n = parse_unsigned(value, kCountMax);
            if (!n || *n == 0) return fail(c, unknown, {"invalid value for ", arg, ": ", value});
            c.*(co->field) = static_cast<uint32_t>(*n);
            continue;
        }
        const Option o = option_of(arg);
        if (o == Option::help) {
            cl.help = true;
            break;
        }
        if (o == Option::unknown) {
            unknown.push_back(arg);
            continue;
        }
        if (o == Option::no_stanza_log) {
            c.stanza_log = false;
            continue;
        }
        if (i + 1 >= argc) {
            if (o == Option::config) continue;  // a trailing --config is ignored
            return fail(c, unknown, {missing_value_message(o)});
        }
        const std::string_view value = argv[++i];
        switch (o) {
            case Option::host:
                c.host = value;
                break;
            case Option::address:
                c.bind_address = value;
                break;
            case Option::port: {
                const auto port = parse_u16(value);
                if (!port) return fail(c, unknown, {"invalid port: ", value});
                c.port = *port;
                break;
            }
            case Option::core_socket:
                c.core_socket = value;
                break;
            case Option::cert:
                c.cert_path = value;
                break;
            case Option::key:
                c.key_path = value;
                break;
            case Option::listen_fd: {
                const auto fd = parse_i32(value);
                if (!fd) return fail(c, unknown, {"invalid fd number: ", value});
                c.listen_fd = *fd;
                break;
            }
            case Option::dialback_secret_file:
                c.dialback_secret_file = value;
                break;
            case Option::max_stanza_size: {
                const auto n = parse_unsigned(value, kMaxStanzaSize);
                if (!n || *n < kMinStanzaSize)
                    return fail(c, unknown, {"invalid stanza size: ", value});
                c.max_stanza_size = static_cast<uint32_t>(*n);
                break;
            }
            case Option::max_queued_deliveries: {
                const auto n = parse_unsigned(value, UINT32_MAX);
                if (!n || *n == 0) return fail(c, unknown, {"invalid delivery count: ", value});
                c.max_queued_deliveries = static_cast<uint32_t>(*n);
                break;
            }
            case Option::log_level: {
                const auto level = log::parse_level(value);
                if (!level) return fail(c, unknown, {"invalid log level: ", value});
                c.log_level = *level;
                break;
            }
            case Option::no_stanza_log:
            case Option::dns_server:
                if (!valid_nameserver(value)) {
                    log::error(kLogScope, {"invalid DNS server: ", value});
                    return Error::InvalidArgs;
                }
                try {
                    c.dns_servers.push_back(value);
                } catch (const std::bad_alloc&) {
                    return Error::OutOfMemory;
                }
                break;
            case Option::dns_trust_anchor:
                c.dns_trust_anchor = value;
                break;
            case Option::config:
            case Option::help:
            case Option::unknown:
                break;
        }
    }
    warn_unknown(c, unknown);
    return cl;
}

}  // namespace fenra::s2s
