#include "auth/command_line.h"

#include <vector>

#include "runtime/log.h"

namespace fenra::auth {
namespace {

constexpr std::string_view kScope = "fenra_auth_oidc";

constexpr std::string_view kUsage =
    "Usage: fenra-auth-oidc [OPTIONS]\n"
    "\n"
    "Options:\n"
    "  --config PATH     Config file path (default: /usr/local/etc/fenra/fenra.conf)\n"
    "  --socket PATH     IPC socket path (default: /var/run/fenra-auth/auth.sock)\n"
    "  --log-level LEVEL error, warn or info (default: info)\n"
    "  --help, -h        Show this help\n"
    "\n"
    "Required config [oidc] section:\n"
    "  issuer            OIDC issuer URL\n"
    "  client_id         OAuth2 client ID\n"
    "  client_secret     OAuth2 client secret\n"
    "  token_endpoint    Token endpoint URL (for ROPC)\n"
    "  jwks_uri          JWKS endpoint URL\n"
    "\n"
    "Optional config [oidc] section:\n"
    "  ca_file           CA bundle path (default: system)\n"
    "  socket            Override IPC socket path\n"
    "  log_level         error, warn or info (--log-level wins)\n"
    "  rate_max_per_account  Rate limit per account (default: 5)\n"
    "  rate_max_per_ip       Rate limit per IP (default: 20)\n";

}  // namespace

std::string_view usage_text() {
    return kUsage;
}

namespace {

// The unknown arguments are warned about once the log level is known: after
// the parse, or before the error line that ends it.
void warn_unknown(const CommandLine& cl, const std::vector<std::string_view>& unknown) {
    if (cl.log_level && *cl.log_level < log::Level::warn) return;
    for (std::string_view a : unknown)
        log::warn(kScope, {"unknown argument: ", a});
}

Error fail(const CommandLine& cl, const std::vector<std::string_view>& unknown,
           log::Pieces pieces) {
    warn_unknown(cl, unknown);
    log::error(kScope, pieces);
    return Error::InvalidArgs;
}

}  // namespace

Result<CommandLine> parse_command_line(std::span<const std::string_view> args) {
    CommandLine cl;
    std::vector<std::string_view> unknown;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "--help" || a == "-h") {
            cl.help = true;
            break;
        }
        if (a == "--config" || a == "-c") {
            if (i + 1 == args.size()) return fail(cl, unknown, {"--config requires a value"});
            cl.config_path = args[++i];
        } else if (a == "--socket") {
            if (i + 1 == args.size()) return fail(cl, unknown, {"--socket requires a value"});
            cl.socket_path = args[++i];
        } else if (a == "--log-level") {
            if (i + 1 == args.size()) return fail(cl, unknown, {"--log-level requires a value"});
            const std::string_view word = args[++i];
            cl.log_level = log::parse_level(word);
            if (!cl.log_level) return fail(cl, unknown, {"invalid log level: ", word});
        } else {
            unknown.push_back(a);
        }
    }
    warn_unknown(cl, unknown);
    return cl;
}

}  // namespace fenra::auth
