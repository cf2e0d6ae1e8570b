#include "s2s/xmpp/outbound_connect.h"

#include <unistd.h>

#include <new>
#include <utility>

#include "runtime/log.h"
#include "s2s/clock.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/net/dialer.h"
#include "s2s/xmpp/outbound_registry.h"
#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {
namespace {

// The dial of slot's session SERIAL ended.
void on_dialed(OutboundHost& host, int slot, uint64_t serial, Dialed&& d) {
    OutboundSession* s = host.outbound().at(slot);
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
        fail_outbound(host, *s, dial_failure_name(d.failure));
        return;
    }
    const Target& t = s->dialer->target(d.target);
    s->target_index = d.target;
    s->target_host = t.host;
    s->target_port = t.port;
    s->direct_tls = t.direct_tls;
    s->stream.conn.fd = d.fd;
    s->state = ConnState::connecting;
    if (auto ok = s->stream.watch(); !ok) {
        fail_outbound(host, *s, condition::kInternalError);
        return;
    }
    log::info(kLogScope,
              {"outbound TCP connected to ", t.host, ":", t.port, " at ", address_text(d.address)});
    s->active_ms = s->connected_ms = monotonic_ms();
    outbound_deadline_update(host, *s);
    on_connected(host, *s);
}

Dialer::Done dial_done(OutboundHost& host, const OutboundSession& s) {
    return [&host, slot = s.slot, serial = s.serial](Dialed&& d) {
        on_dialed(host, slot, serial, std::move(d));
    };
}

// Forgets what the attempt on a closed connection negotiated. Nothing was
// authenticated nor delivered over it: its TLS never came up.
void reset_attempt(OutboundSession& s) {
    s.stream.conn = TlsConn{};
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
    s.stream.rbuf.clear();
    s.stream.wq.clear();
    s.parser->reset();
}

}  // namespace

void connect_outbound(OutboundHost& host, OutboundSession& s) {
    OutboundRegistry& reg = host.outbound();
    // Without a free slot the remote server is not even asked: a connection
    // made only to be dropped again would be noise for it.
    if (!reg.has_free_slot() || reg.take_slot(s) < 0) {
        fail_outbound(host, s, condition::kSlotsExhausted);
        return;
    }
    s.host = &host;
    s.stream.bind<OutboundSession, outbound_event>(host.loop(), s);
    s.parser.reset(new (std::nothrow) xmpp::XmlParser());
    s.dialer.reset(new (std::nothrow) Dialer(host.resolver(), host.loop()));
    if (!s.parser || !s.dialer) {
        fail_outbound(host, s, condition::kInternalError);
        return;
    }
    s.state = ConnState::resolving;
    s.started_ms = s.active_ms = monotonic_ms();
    s.timer_due_ms = 0;
    const int slot = s.slot;
    auto started = s.dialer->start(s.remote_domain, seconds_ms(host.config().connect_timeout),
                                   dial_done(host, s));
    if (!started) {
        log::error(kLogScope,
                   {"DNS SRV resolution failed for ", s.remote_domain, ": ", started.error()});
        fail_outbound(host, s, condition::kDnsResolutionFailed);
        return;
    }
    // A dial that failed at once has closed S; otherwise its deadlines run.
    if (host.outbound().at(slot) == &s) outbound_deadline_update(host, s);
}

bool next_target_left(const OutboundSession& s) {
    return s.connected() && s.nego < NegoState::tls_done && s.dialer && s.dialer->has_next();
}

bool next_target(OutboundHost& host, OutboundSession& s, std::string_view how) {
    if (!next_target_left(s)) return false;
    log::info(kLogScope, {"outbound TLS handshake with ", s.target_host, ":", s.target_port, " ",
                          how, " for ", s.remote_domain, ", trying next target"});
    s.stream.unwatch();
    tls_close(s.stream.conn);
    reset_attempt(s);
    s.dialer->next(dial_done(host, s));
    return true;
}

}  // namespace fenra::s2s
