#include "s2s/command_line.h"

#include "runtime/log.h"
#include "runtime/number.h"

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
    max_stanza_size,
    max_queued_deliveries,
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
    if (a == "--max-stanza-size") return Option::max_stanza_size;
    if (a == "--max-queued-deliveries") return Option::max_queued_deliveries;
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
        case Option::max_stanza_size:
            return "--max-stanza-size requires a value";
        case Option::max_queued_deliveries:
            return "--max-queued-deliveries requires a value";
        case Option::config:
        case Option::help:
        case Option::unknown:
            break;
    }
    return {};
}

}  // namespace

Result<CommandLine> parse_command_line(int argc, const char* const* argv) {
    CommandLine cl;
    S2sConfig& c = cl.config;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const Option o = option_of(arg);
        if (o == Option::help) {
            cl.help = true;
            return cl;
        }
        if (o == Option::unknown) {
            log::warn(kLogScope, {"unknown argument: ", arg});
            continue;
        }
        if (i + 1 >= argc) {
            if (o == Option::config) continue;  // a trailing --config is ignored
            log::error(kLogScope, {missing_value_message(o)});
            return Error::InvalidArgs;
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
                if (!port) {
                    log::error(kLogScope, {"invalid port: ", value});
                    return Error::InvalidArgs;
                }
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
                if (!fd) {
                    log::error(kLogScope, {"invalid fd number: ", value});
                    return Error::InvalidArgs;
                }
                c.listen_fd = *fd;
                break;
            }
            case Option::max_stanza_size: {
                const auto n = parse_unsigned(value, kMaxStanzaSize);
                if (!n || *n < kMinStanzaSize) {
                    log::error(kLogScope, {"invalid stanza size: ", value});
                    return Error::InvalidArgs;
                }
                c.max_stanza_size = static_cast<uint32_t>(*n);
                break;
            }
            case Option::max_queued_deliveries: {
                const auto n = parse_unsigned(value, UINT32_MAX);
                if (!n || *n == 0) {
                    log::error(kLogScope, {"invalid delivery count: ", value});
                    return Error::InvalidArgs;
                }
                c.max_queued_deliveries = static_cast<uint32_t>(*n);
                break;
            }
            case Option::config:
            case Option::help:
            case Option::unknown:
                break;
        }
    }
    return cl;
}

}  // namespace fenra::s2s
