#include "s2s/xmpp/outbound_connect.h"

#include <unistd.h>

#include <new>
#include <utility>

#include "runtime/log.h"
#include "s2s/command_line.h"
#include "s2s/net/dialer.h"
#include "s2s/server.h"
#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {
namespace {

// The dial of slot's session SERIAL ended.
void on_dialed(S2sServer& server, int slot, uint64_t serial, Dialed&& d) {
    OutboundSession* s = server.outbound().at(slot);
    if (s == nullptr || s->serial != serial) {  // never: the dial goes with its session
        if (d.fd >= 0) ::close(d.fd);
        return;
    }
    if (d.fd < 0) {
        if (d.failure == DialFailure::refused || d.failure == DialFailure::timed_out)
            log::error(kLogScope, {"outbound TCP connect failed for ", s->remote_domain});
        else
            log::error(kLogScope, {"outbound connect failed for ", s->remote_domain, " (",
                                   dial_failure_name(d.failure), ")"});
        fail_outbound(server, *s, dial_failure_name(d.failure));
        return;
    }
    const Target& t = s->dialer->target(d.target);
    s->target_index = d.target;
    s->target_host = t.host;
    s->target_port = t.port;
    s->direct_tls = t.direct_tls;
    s->conn.fd = d.fd;
    s->state = ConnState::connecting;
    if (auto ok = server.loop().add(d.fd, server.outbound_events(slot)); !ok) {
        fail_outbound(server, *s, condition::kInternalError);
        return;
    }
    log::info(kLogScope,
              {"outbound TCP connected to ", t.host, ":", t.port, " at ", address_text(d.address)});
    s->active_ms = s->connected_ms = monotonic_ms();
    outbound_deadline_update(server, *s);
    on_connected(server, *s);
}

Dialer::Done dial_done(S2sServer& server, const OutboundSession& s) {
    return [&server, slot = s.slot, serial = s.serial](Dialed&& d) {
        on_dialed(server, slot, serial, std::move(d));
    };
}

// Forgets what the attempt on a closed connection negotiated. Nothing was
// authenticated nor delivered over it: its TLS never came up.
void reset_attempt(OutboundSession& s) {
    s.conn = TlsConn{};
    s.state = ConnState::resolving;
    s.nego = NegoState::before_header;
    s.auth = AuthStep::none;
    s.in_features = s.in_mechanism = s.external_offered = false;
    s.mechanism.clear();
    s.dane = DaneStatus::none;
    s.dane_verified = false;
    s.remote_stream_id.clear();
    s.peer_error = false;
    s.peer_max_bytes = 0;
    s.in_max_bytes = false;
    s.peer_close_reason = condition::kReadFailed;
    s.rbuf.clear();
    s.wq.clear();
    s.parser->reset();
}

}  // namespace

void connect_outbound(S2sServer& server, OutboundSession& s) {
    OutboundRegistry& reg = server.outbound();
    // Without a free slot the remote server is not even asked: a connection
    // made only to be dropped again would be noise for it.
    if (!reg.has_free_slot() || reg.take_slot(s) < 0) {
        fail_outbound(server, s, condition::kSlotsExhausted);
        return;
    }
    s.parser.reset(new (std::nothrow) xmpp::XmlParser());
    s.dialer.reset(new (std::nothrow) Dialer(server.resolver(), server.loop()));
    if (!s.parser || !s.dialer) {
        fail_outbound(server, s, condition::kInternalError);
        return;
    }
    s.state = ConnState::resolving;
    s.started_ms = s.active_ms = monotonic_ms();
    s.timer_due_ms = 0;
    const int slot = s.slot;
    auto started = s.dialer->start(s.remote_domain, seconds_ms(server.config().connect_timeout),
                                   dial_done(server, s));
    if (!started) {
        log::error(kLogScope,
                   {"DNS SRV resolution failed for ", s.remote_domain, ": ", started.error()});
        fail_outbound(server, s, condition::kDnsResolutionFailed);
        return;
    }
    // A dial that failed at once has closed S; otherwise its deadlines run.
    if (server.outbound().at(slot) == &s) outbound_deadline_update(server, s);
}

bool next_target_left(const OutboundSession& s) {
    return s.connected() && s.nego < NegoState::tls_done && s.dialer && s.dialer->has_next();
}

bool next_target(S2sServer& server, OutboundSession& s, std::string_view how) {
    if (!next_target_left(s)) return false;
    log::info(kLogScope, {"outbound TLS handshake with ", s.target_host, ":", s.target_port, " ",
                          how, " for ", s.remote_domain, ", trying next target"});
    server.loop().remove(s.conn.fd);
    tls_close(s.conn);
    reset_attempt(s);
    s.dialer->next(dial_done(server, s));
    return true;
}

}  // namespace fenra::s2s
