#include "auth/auth_daemon.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

#include "auth/command_line.h"
#include "auth/config_file.h"
#include "auth/oidc/oidc_backend.h"
#include "auth/rate_limiter.h"
#include "auth/sasl_handler.h"
#include "runtime/event_loop.h"
#include "runtime/ipc_server.h"
#include "runtime/log.h"

namespace fenra::auth {
namespace {

constexpr std::string_view kScope = "fenra_auth_oidc";
constexpr size_t kLoopEvents = 32;

// The identity provider, as the handler sees it.
class BackendChecker final : public CredentialChecker {
  public:
    explicit BackendChecker(oidc::OidcBackend& backend) : backend_(backend) {}
    Outcome validate_password(std::string_view username, std::string_view password) override {
        return backend_.validate_password(username, password);
    }
    TokenAnswer validate_token(std::string_view token) override {
        const auto check = backend_.validate_token(token);
        return TokenAnswer{
            .outcome = check.outcome,
            .identity = {.username = check.identity.username, .picture = check.identity.picture}};
    }

  private:
    oidc::OidcBackend& backend_;
};

// The answer to one request from the core, or nothing for the types this
// daemon only carries. Views point into the request or the backend.
std::optional<ipc::Message> answer_for(const ipc::Message& m, SaslHandler& handler) {
    switch (m.type) {
        case ipc::kAuthRequest: {
            const AuthAnswer a = handler.handle(AuthRequest{
                .id = m.id,
                .mechanism = m.byte,
                .address = m.str[0],
                .account = m.str[2],
                .initial = m.str[3],
            });
            if (a.success) return ipc::auth_success(m.id, a.username, {}, a.third);
            return ipc::auth_failure(m.id, a.condition);
        }
        case ipc::kAuthResponse:
            // Every exchange ends in one step, so there is nothing to continue.
            return ipc::auth_failure(m.id, "not-authorized");
        case ipc::kType6:
            return ipc::ok_condition(ipc::kType7, m.id, 0, "not-allowed");
        case ipc::kType8: {
            const bool bad = m.str[0].empty() || m.str[1].empty();
            return ipc::ok_condition(ipc::kType9, m.id, 0, bad ? "bad-request" : "not-allowed");
        }
        case ipc::kType10:
            return ipc::ok_condition(ipc::kType11, m.id, 0,
                                     m.str[0].empty() ? "bad-request" : "not-allowed");
        default:
            return std::nullopt;
    }
}

class AuthDaemon final : public ipc::Dispatcher, public LoopHandler {
  public:
    AuthDaemon(ipc::Server& server, SaslHandler& handler) : server_(server), handler_(handler) {}

    void on_ipc_message(int slot, const ipc::Message& m) override {
        const auto answer = answer_for(m, handler_);
        if (!answer) return;
        // An answer that cannot be queued would leave the request unanswered
        // for good: the core sees the connection close instead.
        if (!server_.send(slot, *answer)) server_.disconnect(slot);
    }

    void run(EventLoop& loop) {
        while (running_) {
            // The whole batch is handled before the running flag is looked at.
            if (auto r = loop.run_once(); !r) {
                log::error(kScope, {"event loop poll failed: ", r.error(), ", shutting down"});
                return;
            }
        }
    }

    // The watched signals.
    void on_event(const LoopEvent& ev) override {
        if (ev.kind == EventKind::signal) on_signal(ev.signo);
    }

  private:
    void on_signal(int signo) {
        if (signo == SIGHUP) {
            log::info(kScope, {"received SIGHUP (no-op for OIDC backend)"});
        } else if (signo == SIGTERM || signo == SIGINT) {
            log::info(kScope, {"received signal ", signo, ", shutting down"});
            running_ = false;
        }
    }

    ipc::Server& server_;
    SaslHandler& handler_;
    bool running_ = true;
};

void write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void log_settings(const AuthSettings& s) {
    // The client secret, the CA file and the introspection endpoint stay out.
    log::info(kScope, {"fenra-auth-oidc starting"});
    log::info(kScope, {"  issuer: ", s.oidc.issuer});
    log::info(kScope, {"  client_id: ", s.oidc.client_id});
    log::info(kScope, {"  token_endpoint: ", s.oidc.token_endpoint});
    log::info(kScope, {"  jwks_uri: ", s.oidc.jwks_uri});
    if (s.oidc.user_domain) log::info(kScope, {"  user_domain: ", *s.oidc.user_domain});
    log::info(kScope, {"  socket: ", s.socket_path});
    if (!s.oidc.user_domain)
        log::warn(kScope, {"no user_domain configured: user names that carry a domain are "
                           "refused"});
}

Result<std::unique_ptr<EventLoop>> open_loop(ipc::Server& server, AuthDaemon& daemon) {
    auto loop = EventLoop::create(kLoopEvents);
    if (!loop) return loop.error();
    FENRA_TRY(server.attach(**loop, daemon));
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        FENRA_TRY((*loop)->watch_signal(signo, daemon));
    return std::move(*loop);
}

}  // namespace

Result<void> auth_main(int argc, char** argv) {
    std::vector<std::string_view> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    auto cl = parse_command_line(args);
    if (!cl) return cl.error();
    if (cl->help) {
        write_stdout(usage_text());
        return {};
    }

    auto loaded = ConfigFile::load(cl->config_path);
    if (!loaded) {
        log::error(kScope,
                   {"failed to read config file '", cl->config_path, "': ", loaded.error()});
        return Error::InvalidArgs;
    }
    auto config = std::make_unique<ConfigFile>(std::move(*loaded));
    auto settings = read_settings(*config, cl->socket_path);
    if (!settings) return settings.error();
    log::set_level(cl->log_level.value_or(settings->log_level.value_or(log::Level::info)));
    const oidc::OidcConfig oidc_config = settings->oidc;
    log_settings(*settings);

    auto backend = std::make_unique<oidc::OidcBackend>(oidc_config);
    BackendChecker checker(*backend);
    RateLimiter limiter(RateLimits{.max_per_account = settings->max_per_account,
                                   .max_per_address = settings->max_per_address,
                                   .failure_reset_seconds = settings->failure_reset_seconds,
                                   .user_domain = oidc_config.user_domain});
    SaslHandler handler(limiter, checker, oidc_config.user_domain);

    auto server = std::make_unique<ipc::Server>(ipc::Options{
        .log_fd_on_connect = true,
        .daemon_scope = {},
        .write_after_each_message = true,
    });
    FENRA_TRY(server->start(settings->socket_path));
    AuthDaemon daemon(*server, handler);
    auto loop = open_loop(*server, daemon);
    if (!loop) {
        server->stop();
        return loop.error();
    }
    daemon.run(**loop);

    log::info(kScope, {"fenra-auth-oidc shutdown complete"});
    loop->reset();
    server->stop();
    server.reset();
    backend.reset();
    config.reset();
    return {};
}

}  // namespace fenra::auth
