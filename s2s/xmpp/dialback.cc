#include "s2s/xmpp/dialback.h"

#include <new>
#include <utility>
#include <vector>

#include "runtime/log.h"
#include "s2s/clock.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/xmpp/inbound_session.h"
#include "s2s/xmpp/outbound_registry.h"
#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {
namespace {

using Dialback = xmpp::DialbackElement;

// The element in a buffer of kOutboundElementSize bytes; nothing when it
// does not fit.
std::optional<std::string_view> build(std::span<char, kOutboundElementSize> buf,
                                      const Dialback& e) {
    auto n = xmpp::write_dialback(buf, e);
    if (!n) return std::nullopt;
    return std::string_view(buf.data(), *n);
}

enum class Sent : uint8_t { now, later, never };

Sent send_verify(OutboundHost& host, OutboundSession& s, PendingCallback& cb) {
    if (!xmpp::key_text_acceptable(cb.key) || cb.stream_id.empty()) return Sent::never;
    char buf[kOutboundElementSize];
    const auto text =
        build(buf, {Dialback::Kind::verify, s.local_domain, cb.origin, cb.stream_id, {}, cb.key});
    if (!text) return Sent::never;
    // A queue full of stanzas takes it once it drains.
    if (!s.stream.wq.append(*text)) return Sent::later;
    if (s.slot >= 0 && s.connected()) (void)host.loop().add_write_once(s.stream.conn.fd);
    cb.sent = true;
    log::info(kLogScope,
              {"dialback callback: sent db:verify to ", cb.origin, " for stream ", cb.stream_id});
    return Sent::now;
}

}  // namespace

// ---- receiving role ----

namespace {

using xmpp::XmlElement;

void send_dialback(InboundSession& s, const Dialback& e) {
    char buf[kDialbackElementSize];
    auto n = xmpp::write_dialback(buf, e);
    if (n) (void)s.stream.wq.append({buf, *n});  // a full or closed queue loses the reply
    s.stream.write_once();
}

void answer_verify(InboundSession& s) {
    auto& v = s.verify;
    Dialback answer{
        Dialback::Kind::verify, s.context.local_domain, v.from.view(), v.id.view(), "invalid", {}};
    if (!s.ours(v.to.view())) {
        log::warn(kLogScope, {"dialback verify: request for a domain not ours: to=", v.to.view()});
        answer.type = "error";
        send_dialback(s, answer);
        return;
    }
    if (!xmpp::key_text_acceptable(v.key.view())) {
        log::warn(kLogScope, {"dialback verify: unacceptable key from ", v.from.view()});
        send_dialback(s, answer);
        return;
    }
    auto expected =
        xmpp::dialback_key(s.context.dialback_secret, v.from.view(), v.to.view(), v.id.view());
    const bool valid = expected && xmpp::dialback_key_matches(v.key.view(), *expected);
    if (valid) answer.type = "valid";
    send_dialback(s, answer);
    if (valid)
        log::info(kLogScope,
                  {"dialback verify: valid key from ", v.from.view(), " for stream ", v.id.view()});
    else
        log::warn(kLogScope, {"dialback verify: invalid key from ", v.from.view(), " for stream ",
                              v.id.view()});
}

void finish_result(InboundHost& host, InboundSession& s) {
    auto& r = s.result;
    r.pending = false;
    if (r.origin.empty() || r.key.empty()) {
        log::warn(kLogScope, {"dialback callback: missing origin or key"});
        return;
    }
    Dialback answer{
        Dialback::Kind::result, s.context.local_domain, r.origin.view(), {}, "invalid", {}};
    if (!s.ours(r.to.view())) {
        log::warn(kLogScope, {"dialback callback: key for a domain not ours: to=", r.to.view()});
        answer.type = "error";
        send_dialback(s, answer);
        return;
    }
    if (!xmpp::key_text_acceptable(r.key.view())) {
        log::warn(kLogScope, {"dialback callback: unacceptable key from ", r.origin.view()});
        send_dialback(s, answer);
        return;
    }
    // The callbacks a peer can have us make at once are bounded.
    if (s.callbacks_outstanding >= kCallbacksPerSession) {
        if (!s.callback_limit_logged)
            log::warn(kLogScope, {"dialback callback: too many outstanding on inbound session ",
                                  s.slot, ", refusing more"});
        s.callback_limit_logged = true;
        send_dialback(s, answer);
        return;
    }
    ++s.callbacks_outstanding;
    log::info(kLogScope,
              {"initiating dialback callback to ", r.origin.view(), " for stream ", s.stream_id()});
    host.inbound_dialback_callback(s, r.origin.view(), r.key.view());
}

}  // namespace

void dialback_verify_start(InboundSession& s, const XmlElement& e, uint32_t level) {
    auto& v = s.verify;
    v.from.assign(e.attribute("from").value_or(std::string_view{}));
    v.to.assign(e.attribute("to").value_or(std::string_view{}));
    v.id.assign(e.attribute("id").value_or(std::string_view{}));
    v.key.clear();
    v.has_text = false;
    v.level = level;
    // Without text there is no key to check and no answer.
    v.pending = !e.self_closing;
}

void dialback_result_start(InboundHost& host, InboundSession& s, const XmlElement& e,
                           uint32_t level) {
    if (!e.attribute("type").value_or(std::string_view{}).empty()) return;
    auto& r = s.result;
    r.origin.assign(e.attribute("from").value_or(std::string_view{}));
    r.to.assign(e.attribute("to").value_or(std::string_view{}));
    r.key.clear();
    log::info(kLogScope, {"inbound dialback key submission from ", r.origin.view()});
    // Dialback authenticates only a stream restarted over TLS.
    const bool over_tls = s.stream.conn.tls_active && (s.state == InboundState::auth_offered ||
                                                       s.state == InboundState::established);
    if (!over_tls) {
        r.pending = false;
        send_stream_error(s, xmpp::StreamError::policy_violation);
        return;
    }
    r.pending = true;
    r.level = level;
    if (e.self_closing) finish_result(host, s);
}

bool dialback_text(InboundSession& s, std::string_view text) {
    if (s.result.pending) {
        s.result.key.append(text);
    } else if (s.verify.pending) {
        s.verify.key.append(text);
        s.verify.has_text = true;
    } else {
        return false;
    }
    return true;
}

void dialback_element_end(InboundHost& host, InboundSession& s, uint32_t depth) {
    if (s.result.pending && depth < s.result.level) {
        finish_result(host, s);
    } else if (s.verify.pending && depth < s.verify.level) {
        s.verify.pending = false;
        if (s.verify.has_text) answer_verify(s);
    }
}

void apply_verdict(InboundSession& s, std::string_view origin, bool valid) {
    if (s.callbacks_outstanding > 0) --s.callbacks_outstanding;
    if (s.input_closed) return;  // our side of the stream has ended
    const bool over_tls = s.stream.conn.tls_active && (s.state == InboundState::auth_offered ||
                                                       s.state == InboundState::established);
    const bool accepted = valid && over_tls && s.add_authenticated(origin);
    send_dialback(s, {Dialback::Kind::result,
                      s.context.local_domain,
                      origin,
                      {},
                      accepted ? "valid" : "invalid",
                      {}});
    if (!accepted) {
        log::warn(kLogScope, {"dialback callback: ", origin, " invalid, inbound session ", s.slot,
                              " rejected"});
        return;
    }
    s.state = InboundState::established;
    log::info(kLogScope, {"dialback callback: ", origin, " verified, inbound session ", s.slot,
                          " authenticated"});
}

// ---- callbacks and the originating role ----

void request_dialback_callback(OutboundHost& host, int inbound_slot, std::string_view stream_id,
                               std::string_view origin, std::string_view key) {
    auto session = host.outbound().get(origin, host.config().host);
    if (session && (*session)->callbacks.size() >= kPendingCallbacksMax) {
        log::warn(kLogScope, {"dialback callback: too many pending callbacks to ", origin});
        host.dialback_verdict(inbound_slot, stream_id, origin, false);
        return;
    }
    PendingCallback cb;
    bool made = false;
    if (session) {
        try {
            cb.inbound_slot = inbound_slot;
            cb.stream_id.assign(stream_id.substr(0, kCallbackStreamIdMax));
            cb.origin.assign(origin);
            cb.key.assign(key.substr(0, kCallbackKeyMax));
            made = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!made) {
        log::error(kLogScope,
                   {"dialback callback: failed to create outbound connection to ", origin});
        host.dialback_verdict(inbound_slot, stream_id, origin, false);
        return;
    }
    add_callback(host, **session, std::move(cb));
}

bool send_dialback_result(OutboundHost& host, OutboundSession& s) {
    if (s.remote_stream_id.empty()) {
        log::error(kLogScope, {"outbound dialback for ", s.remote_domain, ": no remote stream ID"});
        return false;
    }
    auto key = xmpp::dialback_key(host.dialback_secret(), s.remote_domain, s.local_domain,
                                  s.remote_stream_id);
    if (!key) return false;
    char buf[kOutboundElementSize];
    const auto text = build(
        buf,
        {Dialback::Kind::result, s.local_domain, s.remote_domain, {}, {}, xmpp::key_text(*key)});
    if (!text || !s.stream.wq.append(*text)) return false;
    (void)host.loop().add_write_once(s.stream.conn.fd);
    log::info(kLogScope, {"outbound dialback key sent to ", s.remote_domain});
    return true;
}

void send_verifies(OutboundHost& host, OutboundSession& s) {
    std::vector<PendingCallback> refused;
    for (size_t i = 0; i < s.callbacks.size();) {
        PendingCallback& cb = s.callbacks[i];
        const Sent sent = cb.sent ? Sent::now : send_verify(host, s, cb);
        if (sent == Sent::later) break;
        if (sent == Sent::now) {
            ++i;
            continue;
        }
        log::warn(kLogScope, {"dialback callback: cannot send db:verify to ", cb.origin,
                              " for stream ", cb.stream_id});
        refused.push_back(std::move(cb));
        s.callbacks.erase(s.callbacks.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (const PendingCallback& cb : refused)
        host.dialback_verdict(cb.inbound_slot, cb.stream_id, cb.origin, false);
}

bool callbacks_unsent(const OutboundSession& s) {
    for (const PendingCallback& cb : s.callbacks)
        if (!cb.sent) return true;
    return false;
}

bool callbacks_outstanding(const OutboundSession& s) {
    for (const PendingCallback& cb : s.callbacks)
        if (cb.sent) return true;
    return false;
}

std::optional<size_t> match_callback(std::span<const PendingCallback> callbacks,
                                     std::string_view id, std::string_view from) {
    for (size_t i = 0; i < callbacks.size(); ++i) {
        const PendingCallback& cb = callbacks[i];
        if (cb.sent && cb.stream_id == id && cb.origin == from) return i;
    }
    return std::nullopt;
}

void on_verify_response(OutboundHost& host, OutboundSession& s, const xmpp::XmlElement& e) {
    const auto type = e.attribute("type");
    if (!type) return;
    log::info(kLogScope,
              {"dialback callback: db:verify response type=", *type, " from ", s.remote_domain});
    if (s.callbacks.empty()) return;
    const auto i = match_callback(s.callbacks, e.attribute("id").value_or(""),
                                  e.attribute("from").value_or(""));
    if (!i) {
        log::warn(kLogScope, {"dialback callback: db:verify response from ", s.remote_domain,
                              " matches no pending callback"});
        return;
    }
    PendingCallback cb = std::move(s.callbacks[*i]);
    s.callbacks.erase(s.callbacks.begin() + static_cast<std::ptrdiff_t>(*i));
    host.dialback_verdict(cb.inbound_slot, cb.stream_id, cb.origin, *type == "valid");
}

void expire_callbacks(OutboundHost& host, OutboundSession& s, uint64_t limit) {
    for (size_t i = 0; i < s.callbacks.size();) {
        if (s.callbacks[i].added_ms > limit) {
            ++i;
            continue;
        }
        PendingCallback cb = std::move(s.callbacks[i]);
        s.callbacks.erase(s.callbacks.begin() + static_cast<std::ptrdiff_t>(i));
        log::warn(kLogScope, {"dialback callback for ", cb.origin, " unanswered by ",
                              s.remote_domain, ", invalid"});
        host.dialback_verdict(cb.inbound_slot, cb.stream_id, cb.origin, false);
    }
}

void fail_callbacks(OutboundHost& host, OutboundSession& s) {
    std::vector<PendingCallback> waiting = std::move(s.callbacks);
    s.callbacks.clear();
    for (const PendingCallback& cb : waiting)
        host.dialback_verdict(cb.inbound_slot, cb.stream_id, cb.origin, false);
}

}  // namespace fenra::s2s
