#include "s2s/xmpp/outbound_connect.h"

#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "runtime/log.h"
#include "s2s/command_line.h"
#include "s2s/net/connect.h"
#include "s2s/server.h"
#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {
namespace {

// Tries S's targets from next_target on until a connect is under way.
// Returns the failure word of the last target tried when none could be
// started (FAILURE when there was none left to try).
std::string_view try_targets(OutboundSession& s, std::string_view failure) {
    while (s.next_target < s.targets.size()) {
        SrvTarget& t = s.targets[s.next_target++];
        s.target_host = std::move(t.host);
        s.target_port = t.port;
        s.direct_tls = t.direct_tls;
        log::info(kLogScope,
                  {"connecting to ", s.target_host, ":", s.target_port, " for domain ",
                   s.remote_domain, " (direct_tls=", s.direct_tls ? "true" : "false", ")"});
        const ConnectAttempt a = start_connect(s.target_host, s.target_port);
        s.target_ms = monotonic_ms();
        if (a.fd >= 0) {
            s.conn.fd = a.fd;
            return {};
        }
        failure = a.failure;
        // The last failure is logged as the session's.
        if (s.next_target < s.targets.size())
            log::info(kLogScope,
                      {"outbound connect to ", s.target_host, ":", s.target_port, " failed for ",
                       s.remote_domain, " (", failure, "), trying next target"});
    }
    return failure;
}

// The remaining targets are not needed any more.
void drop_targets(OutboundSession& s) {
    s.targets.clear();
    s.targets.shrink_to_fit();
    s.next_target = 0;
}

}  // namespace

void connect_outbound(S2sServer& server, OutboundSession& s) {
    OutboundRegistry& reg = server.outbound();
    // Without a free slot the remote server is not even asked: a connection
    // made only to be dropped again would be noise for it.
    if (!reg.has_free_slot()) {
        fail_outbound(server, s, condition::kSlotsExhausted);
        return;
    }
    auto targets = resolve_targets(s.remote_domain);
    if (!targets) {
        log::error(kLogScope, {"DNS SRV resolution failed for ", s.remote_domain});
        fail_outbound(server, s, condition::kDnsResolutionFailed);
        return;
    }
    if (targets->empty()) {
        log::warn(kLogScope, {"no SRV targets for ", s.remote_domain});
        fail_outbound(server, s, condition::kNoSrvRecords);
        return;
    }
    s.targets = std::move(*targets);
    s.next_target = 0;
    const std::string_view failure = try_targets(s, condition::kNoSrvRecords);
    if (!failure.empty()) {
        drop_targets(s);
        fail_outbound(server, s, failure);
        return;
    }
    if (reg.take_slot(s) < 0) {
        ::close(s.conn.fd);
        s.conn.fd = -1;
        drop_targets(s);
        fail_outbound(server, s, condition::kSlotsExhausted);
        return;
    }
    s.parser.reset(new (std::nothrow) xmpp::XmlParser());
    if (!s.parser) {
        reg.release_slot(s);
        ::close(s.conn.fd);
        s.conn.fd = -1;
        drop_targets(s);
        fail_outbound(server, s, condition::kInternalError);
        return;
    }
    // Connect completion is write readiness; read interest follows it.
    (void)server.loop().add(s.conn.fd, server.outbound_events(s.slot), false);
    (void)server.loop().add_write_once(s.conn.fd);
    s.started_ms = s.active_ms = monotonic_ms();
    s.timer_due_ms = 0;
    outbound_deadline_update(server, s);
}

void on_connect_ready(S2sServer& server, OutboundSession& s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s.conn.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
        log::info(kLogScope, {"outbound TCP connected to ", s.target_host, ":", s.target_port});
        drop_targets(s);
        (void)server.loop().set_read(s.conn.fd, true);
        on_connected(server, s);
        return;
    }
    connect_failed(server, s, "failed");
}

void connect_failed(S2sServer& server, OutboundSession& s, std::string_view how) {
    if (s.next_target < s.targets.size())
        log::info(kLogScope, {"outbound TCP connect to ", s.target_host, ":", s.target_port, " ",
                              how, " for ", s.remote_domain, ", trying next target"});
    else
        log::error(kLogScope, {"outbound TCP connect ", how, " for ", s.remote_domain});
    server.loop().remove(s.conn.fd);
    ::close(s.conn.fd);
    s.conn.fd = -1;
    const std::string_view failure = try_targets(s, condition::kTcpConnectFailed);
    if (failure.empty()) {
        (void)server.loop().add(s.conn.fd, server.outbound_events(s.slot), false);
        (void)server.loop().add_write_once(s.conn.fd);
        return;
    }
    drop_targets(s);
    fail_outbound(server, s, failure);
}

}  // namespace fenra::s2s
