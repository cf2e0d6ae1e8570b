#include "auth/command_line.h"

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
    "  rate_max_per_account  Rate limit per account (default: 5)\n"
    "  rate_max_per_ip       Rate limit per IP (default: 20)\n";

}  // namespace

std::string_view usage_text() {
    return kUsage;
}

Result<CommandLine> parse_command_line(std::span<const std::string_view> args) {
    CommandLine cl;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "--help" || a == "-h") {
            cl.help = true;
            return cl;
        }
        if (a == "--config" || a == "-c") {
            if (i + 1 == args.size()) {
                log::error(kScope, {"--config requires a value"});
                return Error::InvalidArgs;
            }
            cl.config_path = args[++i];
        } else if (a == "--socket") {
            if (i + 1 == args.size()) {
                log::error(kScope, {"--socket requires a value"});
                return Error::InvalidArgs;
            }
            cl.socket_path = args[++i];
        } else {
            log::warn(kScope, {"unknown argument: ", a});
        }
    }
    return cl;
}

}  // namespace fenra::auth
