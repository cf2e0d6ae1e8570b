#include "s2s/xmpp/outbound_session.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "runtime/log.h"
#include "s2s/clock.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/outbound_connect.h"
#include "s2s/xmpp/outbound_registry.h"

namespace fenra::s2s {
namespace {

using xmpp::XmlElement;
using xmpp::XmlEvent;
using xmpp::XmlEventKind;

constexpr std::string_view kStreamErrorNs = "urn:ietf:params:xml:ns:xmpp-streams";
constexpr std::string_view kStreamLimitsNs = "urn:xmpp:stream-limits:0";

// Digits of the peer's announced stanza limit; anything else voids it.
void take_max_bytes(OutboundSession& s, std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9' || s.peer_max_bytes > UINT32_MAX / 10 - 1) {
            s.peer_max_bytes = 0;
            s.in_max_bytes = false;
            return;
        }
        s.peer_max_bytes = s.peer_max_bytes * 10 + static_cast<uint32_t>(c - '0');
    }
}

bool alive(OutboundHost& host, int slot, uint64_t serial) {
    const OutboundSession* s = host.outbound().at(slot);
    return s && s->serial == serial;
}

// Asks for write readiness when output waits.
void want_write(OutboundSession& s) {
    if (s.slot < 0 || !s.connected() || s.stream.wq.empty()) return;
    s.stream.write_once();
}

// Appends TEXT to the write queue; it goes out on the next write readiness.
bool queue_text(OutboundSession& s, std::string_view text) {
    if (!s.stream.wq.append(text)) {
        log::error(kLogScope, {"outbound write buffer full for ", s.remote_domain});
        return false;
    }
    want_write(s);
    return true;
}

// The session goes: every delivery still pending is reported with REASON,
// every callback still waiting is answered invalid, then a registered
// session is closed. Callers must not touch S afterwards unless it was
// unregistered (it then stays failed in the map).
void lose_session(OutboundHost& host, OutboundSession& s, std::string_view reason) {
    // A record made only to carry callbacks does not outlive them, so that
    // naming fresh domains cannot grow the map.
    const bool callbacks_only = s.callback && s.pending.empty();
    for (const OutboundSession::InFlight& d : s.in_flight)
        if (d.end > s.stream.wq.written) host.core().deliver_failed(d.from, d.to, reason);
    s.in_flight.clear();
    while (!s.pending.empty()) {
        PendingDelivery& d = s.pending.front();
        host.core().deliver_failed(d.from, d.to, reason);
        s.pending.pop_front();
    }
    fail_callbacks(host, s);
    if (s.slot >= 0) {
        close_outbound(host, s.slot);
        return;
    }
    tls_close(s.stream.conn);
    s.parser.reset();
    if (callbacks_only) host.outbound().erase(s);
}

// Sends the initiating stream header.
bool start_stream(OutboundHost& host, OutboundSession& s) {
    char buf[xmpp::kReplyBufferSize];
    auto n = xmpp::write_stream_header(buf, s.local_domain, s.remote_domain);
    if (!n || !s.stream.wq.append({buf, *n})) {
        fail_outbound(host, s, condition::kWriteFailed);
        return false;
    }
    want_write(s);
    return true;
}

// The target's TLSA answer is known: the DANE check, then the stream header
// over TLS. False when the session is gone.
bool dane_decided(OutboundHost& host, OutboundSession& s, DaneTlsa use,
                  std::span<const TlsaRecord> records) {
    s.dane = dane_check_outbound(use, records, s.stream.conn, s.target_host, s.target_port,
                                 s.remote_domain);
    if (s.dane == DaneStatus::failed) {
        s.dane_verified = false;
        fail_outbound(host, s, condition::kDaneVerificationFailed);
        return false;
    }
    s.dane_verified = s.dane == DaneStatus::verified;
    s.state = ConnState::stream_opening;
    return start_stream(host, s);
}

// After the handshake: the target's TLSA records are looked up (when its
// SRV answer was secure), then dane_decided.
bool tls_established(OutboundHost& host, OutboundSession& s) {
    log::info(kLogScope, {"outbound TLS handshake complete for ", s.remote_domain});
    s.dialer->settle();
    s.nego = NegoState::tls_done;
    s.state = ConnState::tls_up;
    s.parser->reset();
    const int slot = s.slot;
    const uint64_t serial = s.serial;
    auto asked = s.dialer->lookup().tlsa(
        s.target_index, [&host, slot, serial](DaneTlsa use, std::vector<TlsaRecord>&& records) {
            OutboundSession* s = host.outbound().at(slot);
            if (s != nullptr && s->serial == serial) (void)dane_decided(host, *s, use, records);
        });
    if (!asked) {
        log::warn(kLogScope, {"no TLSA lookup for ", s.target_host, ":", s.target_port, " (",
                              asked.error(), ")"});
        return dane_decided(host, s, DaneTlsa::none, {});
    }
    if (!*asked) return dane_decided(host, s, DaneTlsa::none, {});
    s.state = ConnState::resolving;
    return true;
}

// The session's side of its stream: bytes go to the parser, a drained
// queue takes the verifies and deliveries that wait, a failed handshake
// moves on to the next target or fails the session, and an end of the
// connection fails it.
class OutboundIo final {
  public:
    OutboundIo(OutboundHost& host, OutboundSession& s) : host_(host), s_(s) {}
    StreamStep stream_bytes(Stream& st);
    StreamStep stream_handshake_done(Stream&) {
        return tls_established(host_, s_) ? StreamStep::more : StreamStep::gone;
    }
    void stream_handshake_failed(Stream&);
    StreamStep stream_drained(Stream& st);
    void stream_want_write(Stream& st) {
        if (s_.slot >= 0) st.write_once();
    }
    void stream_ended(Stream& st, StreamEnd end);

  private:
    OutboundHost& host_;
    OutboundSession& s_;
};

// One handshake step. False when the session is gone or connects anew.
bool tls_step(OutboundHost& host, OutboundSession& s) {
    OutboundIo io(host, s);
    return s.stream.handshake(io) != StreamStep::gone;
}

// Client TLS on the connected socket, then the first handshake step.
bool start_tls(OutboundHost& host, OutboundSession& s) {
    s.state = ConnState::tls_handshaking;
    auto r = tls_client_attach(s.stream.conn, host.client_tls(), s.remote_domain);
    if (!r) {
        fail_outbound(host, s,
                      r.error() == Error::SslInitFailed ? condition::kNoClientTlsContext
                                                        : condition::kTlsInitFailed);
        return false;
    }
    return tls_step(host, s);
}

// The auth element of SASL EXTERNAL with the local domain as authorization
// identity; nothing when the domain is too long for it.
std::optional<std::string> external_auth(std::string_view local_domain) {
    if (local_domain.size() > kExternalDomainMax) return std::nullopt;
    unsigned char b64[kOutboundElementSize];
    const int n = EVP_EncodeBlock(b64, reinterpret_cast<const unsigned char*>(local_domain.data()),
                                  static_cast<int>(local_domain.size()));
    char buf[kOutboundElementSize];
    auto len = xmpp::write_sasl_external(
        buf, {reinterpret_cast<const char*>(b64), static_cast<size_t>(n)});
    if (!len) return std::nullopt;
    return std::string(buf, *len);
}

// Dialback for our own domain. False when the session is gone.
bool start_dialback(OutboundHost& host, OutboundSession& s) {
    s.auth = AuthStep::dialback_sent;
    if (send_dialback_result(host, s)) return true;
    fail_outbound(host, s, condition::kAuthenticationFailed);
    return false;
}

// SASL EXTERNAL for our own domain, or dialback when the domain cannot be
// carried by the auth element. False when the session is gone.
bool start_external(OutboundHost& host, OutboundSession& s) {
    auto auth = external_auth(s.local_domain);
    if (!auth) {
        log::info(kLogScope, {"local domain too long for SASL EXTERNAL to ", s.remote_domain,
                              ", using dialback"});
        return start_dialback(host, s);
    }
    s.auth = AuthStep::external_sent;
    queue_text(s, *auth);
    return true;
}

// A callback answer arrived or callbacks were written: EXTERNAL, held back
// while db:verify answers are outstanding, may go now.
bool resume_external(OutboundHost& host, OutboundSession& s) {
    if (s.auth != AuthStep::external_deferred || callbacks_outstanding(s)) return true;
    return start_external(host, s);
}

void established(OutboundHost& host, OutboundSession& s) {
    s.state = ConnState::established;
    s.nego = NegoState::authenticated;
    s.sasl_authenticated = true;
    // The idle time-out replaces the negotiation's, and may come sooner.
    outbound_deadline_update(host, s);
    send_verifies(host, s);
    flush_pending(host, s);
}

// Features on the restarted stream over TLS: the callbacks' db:verify
// elements, then our own authentication. False when the session is gone.
bool authenticate(OutboundHost& host, OutboundSession& s) {
    s.state = ConnState::authenticating;
    s.nego = NegoState::auth_pending;
    send_verifies(host, s);
    // EXTERNAL only when DANE vouched for the peer and its features offer it.
    if (!s.dane_verified || !s.external_offered) return start_dialback(host, s);
    // Nothing else may be written while SASL runs: the callbacks first.
    s.auth = AuthStep::external_deferred;
    return resume_external(host, s);
}

bool on_features(OutboundHost& host, OutboundSession& s) {
    if (s.state == ConnState::established) {
        if (!s.restart_pending) return true;
        s.restart_pending = false;
        log::info(kLogScope, {"outbound S2S to ", s.remote_domain, " fully established"});
        send_verifies(host, s);
        flush_pending(host, s);
        return true;
    }
    if (s.nego == NegoState::header && !s.direct_tls && !s.stream.conn.tls_active) {
        s.state = ConnState::starttls_requested;
        queue_text(s, xmpp::kStartTls);
        return true;
    }
    if (s.nego == NegoState::restarted) return authenticate(host, s);
    return true;
}

// "proceed": the plain stream ends here and client TLS starts.
bool on_proceed(OutboundHost& host, OutboundSession& s) {
    if (s.state != ConnState::starttls_requested) return true;
    log::info(kLogScope, {"outbound STARTTLS proceed from ", s.remote_domain});
    s.parser->reset();
    s.stream.rbuf.clear();
    return start_tls(host, s);
}

bool on_sasl_success(OutboundHost& host, OutboundSession& s) {
    if (s.auth != AuthStep::external_sent) return true;
    log::info(kLogScope, {"outbound SASL success from ", s.remote_domain});
    s.sasl_authenticated = true;
    s.nego = NegoState::authenticated;
    s.state = ConnState::established;
    outbound_deadline_update(host, s);
    s.restart_pending = true;
    s.auth = AuthStep::none;
    s.parser->reset();
    return start_stream(host, s);
}

// A refused EXTERNAL falls back to dialback on the same stream.
bool on_sasl_failure(OutboundHost& host, OutboundSession& s) {
    if (s.auth != AuthStep::external_sent) return true;
    log::warn(kLogScope, {"outbound SASL failure from ", s.remote_domain});
    log::info(kLogScope, {"outbound dialback after SASL failure to ", s.remote_domain});
    return start_dialback(host, s);
}

bool on_dialback_result(OutboundHost& host, OutboundSession& s, const XmlElement& e) {
    const auto type = e.attribute("type");
    if (!type || type->empty() || s.auth != AuthStep::dialback_sent) return true;
    if (*type == "valid") {
        log::info(kLogScope, {"outbound dialback verified by ", s.remote_domain});
        s.auth = AuthStep::none;
        established(host, s);
        return true;
    }
    log::warn(kLogScope, {"outbound dialback rejected by ", s.remote_domain, ": type=", *type});
    fail_outbound(host, s, condition::kAuthenticationFailed);
    return false;
}

// A child of the stream element (the only level the session looks at).
bool top_level(const xmpp::XmlParser& parser, const XmlElement& e) {
    return parser.depth() == (e.self_closing ? 1u : 2u);
}

// Inside a features element: whether a SASL mechanism it lists is EXTERNAL.
// The features are acted on at their end tag, once all of them are known.
void features_content(OutboundSession& s, const XmlEvent& ev) {
    if (ev.kind == XmlEventKind::element_start) {
        const XmlElement& e = ev.element;
        s.in_mechanism = e.ns == xmpp::kSaslNs && e.local == "mechanism" && !e.self_closing;
        s.mechanism.clear();
        s.in_max_bytes = e.ns == kStreamLimitsNs && e.local == "max-bytes" && !e.self_closing;
        if (s.in_max_bytes) s.peer_max_bytes = 0;
    } else if (ev.kind == XmlEventKind::text) {
        if (s.in_mechanism && s.mechanism.size() + ev.text.size() <= kMechanismNameMax)
            s.mechanism.append(ev.text);
        if (s.in_max_bytes) take_max_bytes(s, ev.text);
    } else if (ev.kind == XmlEventKind::element_end) {
        s.in_max_bytes = false;
        if (!s.in_mechanism) return;
        s.in_mechanism = false;
        if (s.mechanism == "EXTERNAL") s.external_offered = true;
    }
}

// One parser event. False when the session is gone.
bool handle_event(OutboundHost& host, OutboundSession& s, const XmlEvent& ev) {
    // A closing stream waits for the peer's close only.
    if (s.state == ConnState::closing && ev.kind != XmlEventKind::stream_close) return true;
    switch (ev.kind) {
        case XmlEventKind::stream_open: {
            s.in_features = s.in_mechanism = false;
            const std::string_view id = ev.element.attribute("id").value_or("");
            s.remote_stream_id.assign(id.substr(0, kRemoteStreamIdMax));
            if (s.nego == NegoState::before_header) {
                s.nego = NegoState::header;
            } else if (s.nego == NegoState::tls_done) {
                s.nego = s.sasl_authenticated ? NegoState::authenticated : NegoState::restarted;
                if (s.nego == NegoState::restarted) s.state = ConnState::authenticating;
            }
            return true;
        }
        case XmlEventKind::stream_close:
            log::info(kLogScope, {"outbound stream closed by ", s.remote_domain});
            lose_session(host, s, s.peer_close_reason);
            return false;
        case XmlEventKind::element_start:
            break;
        default:
            if (!s.in_features) return true;
            if (ev.kind == XmlEventKind::element_end && s.parser->depth() == 1) {
                s.in_features = false;
                return on_features(host, s);
            }
            features_content(s, ev);
            return true;
    }
    const XmlElement& e = ev.element;
    if (s.in_features) {
        features_content(s, ev);
        return true;
    }
    if (s.peer_error && e.ns == kStreamErrorNs && e.local == condition::kPolicyViolation)
        s.peer_close_reason = condition::kPolicyViolation;
    if (!top_level(*s.parser, e)) return true;
    if (e.ns == xmpp::kStreamsNs && e.local == "error") {
        s.peer_error = true;
        return true;
    }
    if (e.local == "features") {
        s.external_offered = false;
        if (e.self_closing) return on_features(host, s);
        s.in_features = true;
        return true;
    }
    if (e.ns == xmpp::kTlsNs && e.local == "proceed") return on_proceed(host, s);
    if (e.ns == xmpp::kSaslNs && e.local == "success") return on_sasl_success(host, s);
    if (e.ns == xmpp::kSaslNs && e.local == "failure") return on_sasl_failure(host, s);
    if (e.ns == xmpp::kDialbackNs && e.local == "result") return on_dialback_result(host, s, e);
    if (e.ns == xmpp::kDialbackNs && e.local == "verify") {
        on_verify_response(host, s, e);
        return resume_external(host, s);
    }
    return true;
}

}  // namespace

bool verifies_allowed(const OutboundSession& s) {
    // On an established stream, and beside our own dialback; EXTERNAL still
    // waiting for answers takes new ones into account. Never while SASL runs
    // or before the stream over TLS is up.
    return (s.state == ConnState::established && !s.restart_pending) ||
           s.auth == AuthStep::dialback_sent || s.auth == AuthStep::external_deferred;
}

namespace {

enum class Fed : uint8_t { all, tls_started, gone };

// Feeds the buffered bytes to the parser. tls_started: TLS began over the
// stream, the rest of the plain bytes were dropped (the handshake may even
// be complete already).
Fed feed(OutboundHost& host, OutboundSession& s) {
    const int slot = s.slot;
    const uint64_t serial = s.serial;
    const std::string_view input = s.stream.rbuf.unconsumed_text();
    size_t pos = 0;
    for (;;) {
        auto r = s.parser->next_event(input, pos);
        if (!r) {
            log::warn(kLogScope,
                      {"outbound S2S to ", s.remote_domain, " XML parse error: ", r.error()});
            fail_outbound(host, s, condition::kXmlParseError);
            return Fed::gone;
        }
        if (!*r) break;
        const bool plain = !s.stream.conn.tls_active;
        if (!handle_event(host, s, **r) || !alive(host, slot, serial)) return Fed::gone;
        if (plain && s.stream.conn.tls_active) return Fed::tls_started;
    }
    s.stream.rbuf.consume(pos);
    return Fed::all;
}

}  // namespace

namespace {

StreamStep OutboundIo::stream_bytes(Stream&) {
    return feed(host_, s_) == Fed::gone ? StreamStep::gone : StreamStep::more;
}

void OutboundIo::stream_handshake_failed(Stream&) {
    if (next_target(host_, s_, "failed")) return;
    log::error(kLogScope, {"outbound TLS handshake failed for ", s_.remote_domain});
    fail_outbound(host_, s_, condition::kTlsHandshakeFailed);
}

StreamStep OutboundIo::stream_drained(Stream& st) {
    while (!s_.in_flight.empty() && s_.in_flight.front().end <= st.wq.written)
        s_.in_flight.pop_front();
    if (callbacks_unsent(s_) && verifies_allowed(s_)) send_verifies(host_, s_);
    if (s_.state == ConnState::established && !s_.restart_pending && !s_.pending.empty())
        flush_pending(host_, s_);
    return StreamStep::more;
}

void OutboundIo::stream_ended(Stream&, StreamEnd end) {
    switch (end) {
        case StreamEnd::closed:
            log::info(kLogScope, {"outbound connection to ", s_.remote_domain, " closed by peer"});
            lose_session(host_, s_, s_.peer_close_reason);
            return;
        case StreamEnd::read_failed:
            fail_outbound(host_, s_, condition::kReadFailed);
            return;
        case StreamEnd::write_failed:
            log::error(kLogScope, {"outbound write failed for ", s_.remote_domain});
            fail_outbound(host_, s_, condition::kWriteFailed);
            return;
    }
}

}  // namespace

// ---- session ----

void queue_delivery(OutboundHost& host, OutboundSession& s, PendingDelivery&& d) {
    if (s.pending.size() >= host.config().max_queued_deliveries) {
        log::warn(kLogScope, {"delivery queue full for ", s.remote_domain});
        host.core().deliver_failed(d.from, d.to, condition::kResourceConstraint);
        return;
    }
    d.queued_ms = monotonic_ms();
    if (!s.pending.push(d)) {
        host.core().deliver_failed(d.from, d.to, condition::kInternalError);
        return;
    }
    if (s.slot >= 0) outbound_deadline_update(host, s);
    if (s.state == ConnState::connecting && !s.connected()) {
        connect_outbound(host, s);
    } else if (s.state == ConnState::established && !s.restart_pending) {
        flush_pending(host, s);
    }
}

void flush_pending(OutboundHost& host, OutboundSession& s) {
    while (!s.pending.empty()) {
        PendingDelivery& d = s.pending.front();
        if (s.peer_max_bytes > 0 && d.stanza.size() > s.peer_max_bytes) {
            log::warn(kLogScope, {"stanza over the limit of ", s.remote_domain, " (",
                                  s.peer_max_bytes, " bytes) not sent: to=", d.to});
            host.core().deliver_failed(d.from, d.to, condition::kPolicyViolation);
            s.pending.pop_front();
            continue;
        }
        if (d.stanza.size() > s.stream.wq.size) {
            // Can never fit; the core is told instead of the queue stalling.
            log::error(kLogScope, {"outbound write buffer full for ", s.remote_domain});
            host.core().deliver_failed(d.from, d.to, condition::kWriteFailed);
            s.pending.pop_front();
            continue;
        }
        if (!s.stream.wq.append(d.stanza)) break;  // the rest go out as the queue drains
        try {
            s.in_flight.push_back({std::move(d.from), std::move(d.to),
                                   s.stream.wq.written + (s.stream.wq.filled - s.stream.wq.sent)});
        } catch (const std::bad_alloc&) {
            // Written all the same; only a lost write would go unreported.
        }
        s.pending.pop_front();
        s.active_ms = monotonic_ms();
    }
    want_write(s);
}

void fail_outbound(OutboundHost& host, OutboundSession& s, std::string_view reason) {
    s.state = ConnState::failed;
    s.failure_reason = reason;
    log::error(kLogScope, {"outbound S2S to ", s.remote_domain, " failed: ", reason});
    lose_session(host, s, reason);
}

void close_outbound(OutboundHost& host, int slot) {
    OutboundRegistry& reg = host.outbound();
    OutboundSession* s = reg.at(slot);
    if (!s) return;
    s->parser.reset();
    log::info(kLogScope, {"closing outbound S2S to ", s->remote_domain});
    reg.release_slot(*s);
    s->stream.close();
    s->stream.wq.closed = true;
    s->pending.clear();
    reg.erase(*s);
}

void on_connected(OutboundHost& host, OutboundSession& s) {
    if (s.direct_tls) {
        (void)start_tls(host, s);
        return;
    }
    s.state = ConnState::stream_opening;
    (void)start_stream(host, s);
}

void outbound_event(OutboundSession& s, EventKind kind) {
    OutboundHost& host = *s.host;
    OutboundIo io(host, s);
    switch (kind) {
        case EventKind::read:
            if (s.state == ConnState::connecting || !s.connected()) return;
            s.active_ms = monotonic_ms();
            (void)s.stream.on_readable(io);
            return;
        case EventKind::write:
            (void)s.stream.on_writable(io);
            return;
        case EventKind::timer:
            outbound_timed_out(host, s);
            return;
        default:
            return;
    }
}

void add_callback(OutboundHost& host, OutboundSession& s, PendingCallback&& cb) {
    cb.added_ms = monotonic_ms();
    try {
        s.callbacks.push_back(std::move(cb));
    } catch (const std::bad_alloc&) {
        host.dialback_verdict(cb.inbound_slot, cb.stream_id, cb.origin, false);
        return;
    }
    s.callback = true;
    if (s.state == ConnState::connecting && !s.connected()) {
        connect_outbound(host, s);
        return;
    }
    if (s.slot >= 0) outbound_deadline_update(host, s);
    if (verifies_allowed(s)) send_verifies(host, s);
}

namespace {

// S's nearest deadline (monotonic ms), UINT64_MAX without one.
uint64_t next_deadline(const S2sConfig& c, const OutboundSession& s) {
    if (s.state == ConnState::closing) return s.started_ms + seconds_ms(c.close_timeout);
    uint64_t due = UINT64_MAX;
    for (const PendingCallback& cb : s.callbacks)
        due = std::min(due, cb.added_ms + seconds_ms(c.dialback_timeout));
    if (s.state == ConnState::established)
        return std::min(due, s.active_ms + seconds_ms(c.outbound_idle_timeout));
    // Resolution and connects are negotiation too (each target's TCP connect
    // time-out is the dial's own; its TLS gets as long again).
    due = std::min(due, s.started_ms + seconds_ms(c.negotiation_timeout));
    if (next_target_left(s)) due = std::min(due, s.connected_ms + seconds_ms(c.connect_timeout));
    if (!s.pending.empty())
        due = std::min(due, s.pending.front().queued_ms + seconds_ms(c.delivery_timeout));
    return due;
}

void arm_for(OutboundHost& host, OutboundSession& s, uint64_t now) {
    const uint64_t due = next_deadline(host.config(), s);
    s.timer_due_ms = due;
    if (due == UINT64_MAX)
        s.stream.cancel_deadline();
    else
        s.stream.arm_deadline(due > now ? due - now : 0);
}

// The idle stream S ends: our close goes out and S leaves the map, so that
// the next delivery opens a new stream, while the peer's close is awaited
// (TLS and socket stay open for it until then).
void close_idle(OutboundHost& host, OutboundSession& s, uint64_t now) {
    if (!s.stream.wq.append(xmpp::kStreamClose) || !host.outbound().retire(s))
        return close_outbound(host, s.slot);
    s.state = ConnState::closing;
    s.started_ms = now;
    want_write(s);
    arm_for(host, s, now);
}

}  // namespace

void outbound_deadline_update(OutboundHost& host, OutboundSession& s) {
    if (s.slot < 0) return;
    const uint64_t due = next_deadline(host.config(), s);
    if (s.timer_due_ms != 0 && due >= s.timer_due_ms) return;
    arm_for(host, s, monotonic_ms());
}

void outbound_timed_out(OutboundHost& host, OutboundSession& s) {
    const int slot = s.slot;
    const S2sConfig& c = host.config();
    const uint64_t now = monotonic_ms();
    const uint64_t serial = s.serial;
    if (now >= seconds_ms(c.dialback_timeout))
        expire_callbacks(host, s, now - seconds_ms(c.dialback_timeout));
    if (!alive(host, slot, serial)) return;
    if (s.state == ConnState::closing) {
        if (now < s.started_ms + seconds_ms(c.close_timeout)) return arm_for(host, s, now);
        log::info(kLogScope, {"outbound S2S to ", s.remote_domain,
                              " did not close its stream within ", c.close_timeout, " s"});
        return close_outbound(host, slot);
    }
    if (s.state != ConnState::established) {
        while (!s.pending.empty() &&
               s.pending.front().queued_ms + seconds_ms(c.delivery_timeout) <= now) {
            const PendingDelivery& d = s.pending.front();
            host.core().deliver_failed(d.from, d.to, condition::kRemoteServerTimeout);
            s.pending.pop_front();
        }
        if (now >= s.started_ms + seconds_ms(c.negotiation_timeout))
            return fail_outbound(host, s, condition::kRemoteServerTimeout);
        if (now >= s.connected_ms + seconds_ms(c.connect_timeout) &&
            next_target(host, s, "timed out") && !alive(host, slot, serial))
            return;
    } else if (now >= s.active_ms + seconds_ms(c.outbound_idle_timeout)) {
        // Output or callbacks still waiting are no idleness.
        if (!s.pending.empty() || !s.callbacks.empty() || !s.stream.wq.empty()) {
            s.active_ms = now;
            return arm_for(host, s, now);
        }
        log::info(kLogScope, {"outbound S2S to ", s.remote_domain, " idle for ",
                              c.outbound_idle_timeout, " s, closing the stream"});
        return close_idle(host, s, now);
    }
    arm_for(host, s, now);
}

}  // namespace fenra::s2s
