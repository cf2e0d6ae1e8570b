#include "auth/auth_daemon.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "auth/backend_checker.h"
#include "auth/command_line.h"
#include "auth/config_file.h"
#include "auth/login_queue.h"
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

// The answer to a request of the core that is not a login, or nothing for
// the types this daemon only carries.
std::optional<ipc::Message> answer_for(const ipc::Message& m) {
    switch (m.type) {
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
    AuthDaemon(ipc::Server& server, SaslHandler& handler, size_t max_in_flight)
        : server_(server),
          logins_(handler, max_in_flight,
                  [this](int slot, uint32_t id, const AuthAnswer& a) { answer(slot, id, a); }) {}

    void on_ipc_message(int slot, const ipc::Message& m) override {
        if (m.type == ipc::kAuthRequest) {
            reading_ = slot;
            logins_.submit(slot, AuthRequest{
                                     .id = m.id,
                                     .mechanism = m.byte,
                                     .address = m.str[0],
                                     .account = m.str[2],
                                     .initial = m.str[3],
                                 });
            reading_ = -1;
            return;
        }
        if (const auto reply = answer_for(m)) send(slot, *reply);
    }

    void on_ipc_disconnected(int slot) override { logins_.drop_slot(slot); }

    void run(EventLoop& loop) {
        loop_ = &loop;
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
    void answer(int slot, uint32_t id, const AuthAnswer& a) {
        send(slot, a.success ? ipc::auth_success(id, a.username, {}, a.third)
                             : ipc::auth_failure(id, a.condition));
        // Answers made outside the slot's read go out at the next wait; the
        // read writes its own at once.
        if (loop_ != nullptr && slot != reading_) (void)server_.request_flush(slot, *loop_);
    }

    void send(int slot, const ipc::Message& m) {
        // An answer that cannot be queued would leave the request unanswered
        // for good: the core sees the connection close instead.
        if (!server_.send(slot, m)) server_.disconnect(slot);
    }

    void on_signal(int signo) {
        if (signo == SIGHUP) {
            log::info(kScope, {"received SIGHUP (no-op for OIDC backend)"});
        } else if (signo == SIGTERM || signo == SIGINT) {
            log::info(kScope, {"received signal ", signo, ", shutting down"});
            running_ = false;
        }
    }

    ipc::Server& server_;
    LoginQueue logins_;
    EventLoop* loop_ = nullptr;
    int reading_ = -1;  // the slot whose request is being taken
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

    auto loop = EventLoop::create(kLoopEvents);
    if (!loop) return loop.error();
    auto client = oidc::HttpsClient::create(**loop, oidc_config.ca_file);
    if (!client) return client.error();
    auto backend = std::make_unique<oidc::OidcBackend>(oidc_config, **client);
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
    auto daemon = std::make_unique<AuthDaemon>(*server, handler, settings->max_in_flight);
    auto attached = server->attach(**loop, *daemon);
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        if (attached) attached = (*loop)->watch_signal(signo, *daemon);
    if (!attached) {
        server->stop();
        return attached.error();
    }
    daemon->run(**loop);

    log::info(kScope, {"fenra-auth-oidc shutdown complete"});
    server->stop();
    daemon.reset();
    backend.reset();
    client->reset();
    loop->reset();
    server.reset();
    config.reset();
    return {};
}

}  // namespace fenra::auth
