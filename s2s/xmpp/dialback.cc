#include "s2s/xmpp/dialback.h"

#include <new>
#include <utility>
#include <vector>

#include "runtime/log.h"
#include "s2s/command_line.h"
#include "s2s/server.h"
#include "s2s/xmpp/dialback_key.h"
#include "s2s/xmpp/inbound_session.h"
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

Sent send_verify(S2sServer& server, OutboundSession& s, PendingCallback& cb) {
    if (!xmpp::key_text_acceptable(cb.key) || cb.stream_id.empty()) return Sent::never;
    char buf[kOutboundElementSize];
    const auto text =
        build(buf, {Dialback::Kind::verify, s.local_domain, cb.origin, cb.stream_id, {}, cb.key});
    if (!text) return Sent::never;
    // A queue full of stanzas takes it once it drains.
    if (!s.wq.append(*text)) return Sent::later;
    if (s.slot >= 0 && s.connected()) (void)server.loop().add_write_once(s.conn.fd);
    cb.sent = true;
    log::info(kLogScope,
              {"dialback callback: sent db:verify to ", cb.origin, " for stream ", cb.stream_id});
    return Sent::now;
}

}  // namespace

void request_dialback_callback(S2sServer& server, int inbound_slot, std::string_view stream_id,
                               std::string_view origin, std::string_view key) {
    auto session = server.outbound().get(origin, server.config().host);
    if (session && (*session)->callbacks.size() >= kPendingCallbacksMax) {
        log::warn(kLogScope, {"dialback callback: too many pending callbacks to ", origin});
        apply_dialback_verdict(server, inbound_slot, stream_id, origin, false);
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
        apply_dialback_verdict(server, inbound_slot, stream_id, origin, false);
        return;
    }
    add_callback(server, **session, std::move(cb));
}

bool send_dialback_result(S2sServer& server, OutboundSession& s) {
    if (s.remote_stream_id.empty()) {
        log::error(kLogScope, {"outbound dialback for ", s.remote_domain, ": no remote stream ID"});
        return false;
    }
    auto key = xmpp::dialback_key(server.dialback_secret(), s.remote_domain, s.local_domain,
                                  s.remote_stream_id);
    if (!key) return false;
    char buf[kOutboundElementSize];
    const auto text = build(
        buf,
        {Dialback::Kind::result, s.local_domain, s.remote_domain, {}, {}, xmpp::key_text(*key)});
    if (!text || !s.wq.append(*text)) return false;
    (void)server.loop().add_write_once(s.conn.fd);
    log::info(kLogScope, {"outbound dialback key sent to ", s.remote_domain});
    return true;
}

void send_verifies(S2sServer& server, OutboundSession& s) {
    std::vector<PendingCallback> refused;
    for (size_t i = 0; i < s.callbacks.size();) {
        PendingCallback& cb = s.callbacks[i];
        const Sent sent = cb.sent ? Sent::now : send_verify(server, s, cb);
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
        apply_dialback_verdict(server, cb.inbound_slot, cb.stream_id, cb.origin, false);
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

void on_verify_response(S2sServer& server, OutboundSession& s, const xmpp::XmlElement& e) {
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
    apply_dialback_verdict(server, cb.inbound_slot, cb.stream_id, cb.origin, *type == "valid");
}

void fail_callbacks(S2sServer& server, OutboundSession& s) {
    std::vector<PendingCallback> waiting = std::move(s.callbacks);
    s.callbacks.clear();
    for (const PendingCallback& cb : waiting)
        apply_dialback_verdict(server, cb.inbound_slot, cb.stream_id, cb.origin, false);
}

}  // namespace fenra::s2s
