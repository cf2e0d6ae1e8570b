#include "s2s/xmpp/inbound_session.h"

#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>

#include "runtime/log.h"
#include "s2s/clock.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/inbound_stanza.h"

namespace fenra::s2s {
namespace {

using xmpp::XmlElement;
using xmpp::XmlEvent;
using xmpp::XmlEventKind;

using Dialback = xmpp::DialbackElement;

// The nesting level of an element: the parser's depth while it is open.
uint32_t level_of(const xmpp::XmlParser& parser, const XmlElement& e) {
    return parser.depth() + (e.self_closing ? 1 : 0);
}

// ---- output -----------------------------------------------------------------

// A full or closed queue refuses the element; the reply is then lost.
void queue(InboundSession& s, std::string_view text) {
    (void)s.stream.wq.append(text);
}

void queue_built(InboundSession& s, std::span<char> buf, const Result<size_t>& n) {
    if (n) queue(s, {buf.data(), *n});
}

// Writes what is queued now, without waiting for writability.
FlushState flush_now(InboundSession& s) {
    auto r = tls_flush(s.stream.conn, s.stream.wq);
    return r ? *r : FlushState::pending;
}

void send_header(InboundSession& s) {
    // The peer's own from comes back to it escaped, so that our header stays
    // well-formed whatever it wrote.
    char buf[xmpp::kReplyBufferSize];
    auto n = xmpp::write_inbound_stream_header(buf, s.context.local_domain, s.remote_domain.view(),
                                               s.stream_id());
    if (!n) {
        log::error(kLogScope, {"failed to build stream open response"});
        return;
    }
    queue(s, {buf, *n});
}

void send_features(InboundSession& s, xmpp::FeatureSet set) {
    char buf[xmpp::kReplyBufferSize];
    queue_built(
        s, buf,
        xmpp::write_features(
            buf, set, {.max_bytes = s.context.max_stanza, .idle_seconds = s.context.idle_seconds}));
}

// ---- stream header ----------------------------------------------------------

// Keeps the prefix bindings of the peer's header: the first 16 prefix
// declarations as the parser resolves them, the first binding of a prefix
// winning.
void keep_header_bindings(InboundSession& s, const XmlElement& e) {
    s.header_binding_count = 0;
    s.header_store.clear();
    size_t seen = 0;
    for (const auto& d : e.namespaces) {
        if (d.prefix.empty()) continue;
        if (seen++ == kHeaderBindings) break;
        bool known = false;
        for (size_t i = 0; i < s.header_binding_count; ++i) {
            const HeaderBinding& b = s.header_bindings[i];
            if (std::string_view(s.header_store.data + b.prefix_at, b.prefix_len) == d.prefix)
                known = true;
        }
        if (known) continue;
        // A binding that does not fit is not kept: stanzas that use it are
        // dropped as malformed.
        if (d.prefix.size() + d.uri.size() > kHeaderBindingStore - s.header_store.len) continue;
        HeaderBinding b;
        b.prefix_at = static_cast<uint16_t>(s.header_store.len);
        b.prefix_len = static_cast<uint16_t>(d.prefix.size());
        s.header_store.append(d.prefix);
        b.uri_at = static_cast<uint16_t>(s.header_store.len);
        b.uri_len = static_cast<uint16_t>(d.uri.size());
        s.header_store.append(d.uri);
        s.header_bindings[s.header_binding_count++] = b;
    }
}

void on_stream_open(InboundHost& host, InboundSession& s, const XmlElement& e) {
    s.remote_domain.assign(e.attribute("from").value_or(std::string_view{}));
    keep_header_bindings(s, e);
    const auto to = e.attribute("to");
    if (to && !s.ours(*to)) {
        // Our header first, so that the error is in a stream the peer can read.
        log::warn(kLogScope,
                  {"inbound S2S id=", s.slot, " header for a domain not ours: to=", *to});
        send_header(s);
        send_stream_error(s, xmpp::StreamError::host_unknown);
        return;
    }
    switch (s.state) {
        case InboundState::connected:
            s.state = InboundState::starttls_offered;
            send_header(s);
            send_features(s, xmpp::FeatureSet::starttls_required);
            return;
        case InboundState::awaiting_restart:
            if (s.sasl_authenticated) {
                s.state = InboundState::established;
                send_header(s);
                send_features(s, xmpp::FeatureSet::established);
                log::info(kLogScope,
                          {"inbound S2S stream established: remote=", s.remote_domain.view()});
                return;
            }
            if (!s.stream.conn.tls_active || s.remote_domain.empty())
                return inbound_dane_result(s, false);
            s.state = InboundState::resolving;
            host.inbound_dane_lookup(s, s.remote_domain.view());
            return;
        default:
            send_stream_error(s, xmpp::StreamError::not_well_formed);
            return;
    }
}

// ---- STARTTLS and SASL ------------------------------------------------------

void on_starttls(InboundSession& s) {
    s.state = InboundState::tls_handshake;
    queue(s, xmpp::kTlsProceed);
    const FlushState flushed = flush_now(s);
    if (!s.context.server_tls) {
        log::warn(kLogScope,
                  {"inbound S2S id=", s.slot, " STARTTLS requested but no TLS configured"});
        return;
    }
    // The proceed must be on the wire, in plain text, before TLS starts.
    if (flushed != FlushState::complete) {
        log::error(kLogScope, {"inbound S2S id=", s.slot, " TLS upgrade failed"});
        s.close_pending = true;
        return;
    }
    if (!tls_server_attach(s.stream.conn, s.context.server_tls)) {
        log::error(kLogScope, {"inbound S2S id=", s.slot, " TLS upgrade failed"});
        return;
    }
    log::info(kLogScope, {"inbound S2S id=", s.slot, " starting TLS handshake"});
}

void on_auth(InboundSession& s, const XmlElement& e) {
    if (e.attribute("mechanism").value_or(std::string_view{}) != "EXTERNAL") {
        send_stream_error(s, xmpp::StreamError::not_authorized);
        return;
    }
    if (s.state != InboundState::auth_offered) {
        send_stream_error(s, xmpp::StreamError::not_well_formed);
        return;
    }
    if (!s.dane_verified) {
        char buf[xmpp::kReplyBufferSize];
        queue_built(s, buf, xmpp::write_sasl_failure(buf, "not-authorized"));
        return;
    }
    s.sasl_authenticated = true;
    s.state = InboundState::awaiting_restart;
    (void)s.add_authenticated(s.remote_domain.view());
    queue(s, xmpp::kSaslSuccess);
    (void)flush_now(s);
    log::info(kLogScope, {"inbound S2S authenticated: remote=", s.remote_domain.view()});
    // The peer restarts the stream; the event in hand is not used after this.
    s.parser->reset();
    s.header_binding_count = 0;
}

// ---- events -----------------------------------------------------------------

void on_element_start(InboundHost& host, InboundSession& s, const XmlElement& e) {
    if (s.stanza.active) {
        stanza_child_start(s, e);
        return;
    }
    // Negotiation elements and stanzas are children of the stream element;
    // anything nested in an element we ignore is ignored with it.
    const uint32_t level = level_of(*s.parser, e);
    if (level > 2) return;
    if (level == 1) {
        // A root element that is not a stream in the streams namespace.
        send_stream_error(s, xmpp::StreamError::invalid_namespace);
        return;
    }
    if (s.state == InboundState::established && level == 2 && is_stanza_name(e.local)) {
        start_stanza(host, s, e, level);
        return;
    }
    if (e.ns == xmpp::kTlsNs && e.local == "starttls") {
        if (s.state == InboundState::starttls_offered)
            on_starttls(s);
        else
            send_stream_error(s, xmpp::StreamError::not_well_formed);
        return;
    }
    if (e.ns == xmpp::kSaslNs && e.local == "auth") {
        on_auth(s, e);
        return;
    }
    if (e.ns == xmpp::kDialbackNs && e.local == "verify") {
        dialback_verify_start(s, e, level);
        return;
    }
    if (e.ns == xmpp::kDialbackNs && e.local == "result") dialback_result_start(host, s, e, level);
}

void on_text(InboundSession& s, std::string_view text) {
    if (s.stanza.active) {
        stanza_text(s.stanza, text);
    } else {
        (void)dialback_text(s, text);
    }
}

void on_element_end(InboundHost& host, InboundSession& s) {
    const uint32_t depth = s.parser->depth();
    if (s.stanza.active) {
        if (depth < s.stanza.level)
            complete_stanza(host, s);
        else
            stanza_child_end(s.stanza);
        return;
    }
    dialback_element_end(host, s, depth);
}

void on_stream_close(InboundSession& s) {
    s.state = InboundState::peer_closed;
    s.stanza.reset();
    queue(s, xmpp::kStreamClose);
    s.input_closed = true;
}

// ---- reading ----------------------------------------------------------------

// Hands the buffered bytes to the parser, event by event.
void feed(InboundHost& host, InboundSession& s) {
    const std::string_view in = s.stream.rbuf.unconsumed_text();
    size_t pos = 0;
    while (!s.input_closed && s.state != InboundState::tls_handshake) {
        const size_t before = pos;
        auto r = s.parser->next_event(in, pos);
        s.element_bytes += pos - before;
        if (!r) {
            log::warn(kLogScope,
                      {"inbound S2S id=", s.slot, " XML parse error: ", error_name(r.error())});
            send_stream_error(s, xmpp::StreamError::not_well_formed);
            break;
        }
        if (!*r) {
            if (s.stanza.active && s.element_bytes > s.context.max_stanza) {
                refuse_oversized(s);
                break;
            }
            s.stream.rbuf.consume(pos);
            return;
        }
        handle_event(host, s, **r);
        if (s.close_pending) return;
        if (s.stanza_waiting) {
            s.stream.rbuf.consume(pos);
            return;
        }
        if (s.stanza.active) {
            if (s.stanza.fault == StanzaCollector::Fault::over_limit ||
                s.element_bytes > s.context.max_stanza)
                refuse_oversized(s);
        } else if (s.parser->depth() <= 1) {
            s.element_bytes = 0;
        }
    }
    // Bytes after STARTTLS arrived before TLS and are never parsed; after our
    // side of the stream has ended, nothing more is.
    s.stream.rbuf.clear();
}

// The session's side of its stream: bytes go to the parser, the end of our
// output ends our direction; any end of the connection closes the session
// (the caller releases it).
class InboundIo final {
  public:
    InboundIo(InboundHost& host, InboundSession& s) : host_(host), s_(s) {}

    StreamStep stream_bytes(Stream&) {
        feed(host_, s_);
        if (s_.close_pending) return StreamStep::gone;
        return s_.stanza_waiting ? StreamStep::pause : StreamStep::more;
    }
    StreamStep stream_handshake_done(Stream& st) {
        log::info(kLogScope, {"inbound S2S id=", s_.slot, " TLS handshake complete"});
        s_.state = InboundState::awaiting_restart;
        s_.parser->reset();
        s_.header_binding_count = 0;
        st.rbuf.clear();
        return StreamStep::more;  // application data may already be waiting
    }
    void stream_handshake_failed(Stream&) {
        log::error(kLogScope, {"inbound S2S id=", s_.slot, " TLS handshake failed"});
    }
    StreamStep stream_drained(Stream& st) {
        if (s_.input_closed && !s_.write_shut) {
            s_.write_shut = true;
            tls_shutdown_write(st.conn);
            // The peer closes its side after reading our error, or is cut off.
            s_.closing_ms = monotonic_ms();
            st.arm_deadline(seconds_ms(s_.context.close_seconds));
        }
        return StreamStep::more;
    }
    void stream_want_write(Stream& st) { st.write_once(); }
    void stream_ended(Stream&, StreamEnd) {}

  private:
    InboundHost& host_;
    InboundSession& s_;
};

InboundOutcome outcome(StreamStep step) {
    return step == StreamStep::gone ? InboundOutcome::close : InboundOutcome::keep;
}

}  // namespace

void send_stream_error(InboundSession& s, xmpp::StreamError condition, std::string_view text) {
    char buf[xmpp::kStreamErrorBufferSize];
    queue_built(s, buf, xmpp::write_stream_error(buf, condition, text));
    s.input_closed = true;
}

void inbound_dane_result(InboundSession& s, bool verified) {
    s.dane_lookup.reset();
    s.state = InboundState::auth_offered;
    s.dane_verified = verified;
    send_header(s);
    send_features(s, verified ? xmpp::FeatureSet::sasl_external : xmpp::FeatureSet::dialback);
    s.stream.write_once();
}

void StanzaCollector::reset() {
    active = false;
    fault = Fault::none;
    self_closing = false;
    level = 0;
    header_used = 0;
    own_prefixes = 0;
    declared_count = 0;
    open_count = 0;
    name.clear();
    from.clear();
    to.clear();
    type.clear();
    id.clear();
    has_type = has_id = false;
    head.clear();
    content.clear();
}

InboundSession::InboundSession(int slot_, int fd, const InboundContext& context_)
    : slot(slot_), context(context_) {
    stream.conn.fd = fd;
    (void)stanza.content.allocate(context.max_stanza);  // the daemon checks
}

void InboundSession::set_stream_id() {
    char* p = stream_id_buf;
    char* const end = stream_id_buf + kStreamIdSize;
    std::memcpy(p, "s2s-", 4);
    p += 4;
    p = std::to_chars(p, end - 1, slot).ptr;  // one byte stays for the '-'
    *p++ = '-';
    uint8_t random[kStreamIdSize / 2];
    arc4random_buf(random, sizeof random);
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; p < end; ++i)
        *p++ = hex[(random[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 15];
    stream_id_len = static_cast<uint8_t>(kStreamIdSize);
}

bool InboundSession::authenticated(std::string_view domain) const {
    for (size_t i = 0; i < auth_domain_count; ++i)
        if (auth_domains[i].view() == domain) return true;
    return false;
}

bool InboundSession::ours(std::string_view domain) const {
    const std::string_view local = context.local_domain;
    if (domain.size() != local.size()) return false;
    for (size_t i = 0; i < domain.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        if (lower(domain[i]) != lower(local[i])) return false;
    }
    return true;
}

bool InboundSession::add_authenticated(std::string_view domain) {
    if (authenticated(domain)) return true;
    if (auth_domain_count == kAuthenticatedDomains) return false;
    auth_domains[auth_domain_count++].assign(domain);
    return true;
}

void handle_event(InboundHost& host, InboundSession& s, const XmlEvent& ev) {
    switch (ev.kind) {
        case XmlEventKind::stream_open:
            on_stream_open(host, s, ev.element);
            return;
        case XmlEventKind::stream_close:
            on_stream_close(s);
            return;
        case XmlEventKind::element_start:
            on_element_start(host, s, ev.element);
            return;
        case XmlEventKind::element_end:
            on_element_end(host, s);
            return;
        case XmlEventKind::text:
            on_text(s, ev.text);
            return;
        case XmlEventKind::declaration:
            return;
    }
}

InboundOutcome inbound_readable(InboundHost& host, InboundSession& s) {
    InboundIo io(host, s);
    if (s.stream.conn.handshaking()) return outcome(s.stream.handshake(io));
    if (!s.stream.open()) return InboundOutcome::close;
    if (s.stanza_waiting) return InboundOutcome::keep;
    return outcome(s.stream.read(io));
}

InboundOutcome inbound_resume(InboundHost& host, InboundSession& s) {
    if (!s.stanza_waiting) return InboundOutcome::keep;
    s.stanza_waiting = false;
    if (!offer_stanza_again(host, s)) return InboundOutcome::keep;
    s.stanza.reset();
    s.element_bytes = 0;
    feed(host, s);
    if (s.close_pending) return InboundOutcome::close;
    if (s.stanza_waiting) return InboundOutcome::keep;
    InboundIo io(host, s);
    return outcome(s.stream.read(io));
}

InboundOutcome inbound_writable(InboundHost& host, InboundSession& s) {
    InboundIo io(host, s);
    if (s.stream.conn.handshaking()) return outcome(s.stream.handshake(io));
    if (s.write_shut) return InboundOutcome::keep;
    return outcome(s.stream.on_writable(io));
}

void refuse_oversized(InboundSession& s) {
    log::warn(kLogScope, {"inbound S2S id=", s.slot, " stanza over ", s.context.max_stanza,
                          " bytes from ", s.stanza.from.view(), ", closing stream"});
    s.stanza.reset();
    send_stream_error(s, xmpp::StreamError::policy_violation, "stanza too large");
}

InboundOutcome inbound_end_stream(InboundHost& host, InboundSession& s, bool idle) {
    if (s.stream.conn.handshaking()) return InboundOutcome::close;
    if (s.input_closed) return InboundOutcome::keep;
    if (s.state == InboundState::connected || s.state == InboundState::awaiting_restart)
        send_header(s);  // the peer's header is not answered yet
    s.stanza.reset();
    if (idle) {
        queue(s, xmpp::kStreamClose);
        s.input_closed = true;
    } else {
        send_stream_error(s, xmpp::StreamError::connection_timeout);
    }
    return inbound_writable(host, s);
}

Result<void> inbound_attach(InboundHost& host, InboundSession& s, EventLoop& loop) {
    s.host = &host;
    s.stream.bind<InboundSession, inbound_event>(loop, s);
    FENRA_TRY(s.stream.watch());
    s.accepted_ms = s.last_read_ms = monotonic_ms();
    s.closing_ms = 0;
    s.stream.arm_deadline(
        std::min(seconds_ms(s.context.negotiation_seconds), seconds_ms(s.context.idle_seconds)));
    return {};
}

void inbound_set_reads(InboundSession& s, bool on) {
    if (s.reads_off == !on || !s.stream.open()) return;
    s.reads_off = !on;
    s.stream.set_reads(on);
}

void inbound_event(InboundSession& s, EventKind kind) {
    InboundHost& host = *s.host;
    InboundOutcome out = InboundOutcome::keep;
    switch (kind) {
        case EventKind::read:
            // While stanzas wait for a core, established streams are not
            // read: TCP holds their bytes back.
            if (host.inbound_paused() &&
                (s.state == InboundState::established || s.stanza_waiting)) {
                inbound_set_reads(s, false);
                return;
            }
            s.last_read_ms = monotonic_ms();
            out = inbound_readable(host, s);
            break;
        case EventKind::write:
            out = inbound_writable(host, s);
            break;
        case EventKind::timer:
            out = inbound_timed_out(host, s);
            break;
        default:
            return;
    }
    if (out == InboundOutcome::close) host.inbound_close(s);
}

// The timer is armed for the earliest deadline that can apply; when it fires,
// the deadline that applies now is computed and the timer re-armed if that
// lies ahead: reads and authentication move the deadline without touching
// the timer.
InboundOutcome inbound_timed_out(InboundHost& host, InboundSession& s) {
    const uint64_t now = monotonic_ms();
    const uint64_t close_ms = seconds_ms(s.context.close_seconds);
    const uint64_t idle_ms = seconds_ms(s.context.idle_seconds);
    if (s.input_closed) {
        // Our error or close is written, or waits for a peer that does not read.
        if (s.closing_ms == 0) s.closing_ms = now;
        if (now < s.closing_ms + close_ms) {
            s.stream.arm_deadline(s.closing_ms + close_ms - now);
            return InboundOutcome::keep;
        }
        log::info(kLogScope, {"inbound S2S id=", s.slot, " peer did not close its side, closing"});
        return InboundOutcome::close;
    }
    if (s.reads_off || s.stanza_waiting) {
        // Paused while no core takes its stanzas: not idle, its deadlines wait.
        s.last_read_ms = now;
        s.accepted_ms += std::min(now - s.accepted_ms, uint64_t{1000});
        s.stream.arm_deadline(1000);
        return InboundOutcome::keep;
    }
    const bool idle = s.auth_domain_count > 0;
    const uint64_t due =
        idle ? s.last_read_ms + idle_ms : s.accepted_ms + seconds_ms(s.context.negotiation_seconds);
    // Until the stream is authenticated the timer comes back at least once
    // per idle period, so that an idle deadline after it is not missed.
    if (now < due) {
        s.stream.arm_deadline(idle || idle_ms == 0 ? due - now : std::min(due - now, idle_ms));
        return InboundOutcome::keep;
    }
    if (idle)
        log::info(kLogScope, {"inbound S2S id=", s.slot, " idle for ", s.context.idle_seconds,
                              " s, closing the stream"});
    else
        log::warn(kLogScope, {"inbound S2S id=", s.slot, " not authenticated within ",
                              s.context.negotiation_seconds, " s, closing"});
    if (inbound_end_stream(host, s, idle) == InboundOutcome::close) return InboundOutcome::close;
    if (s.closing_ms == 0) s.closing_ms = now;
    s.stream.arm_deadline(close_ms);
    return InboundOutcome::keep;
}

}  // namespace fenra::s2s
