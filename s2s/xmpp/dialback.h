// Server dialback, both roles, on top of the key computation of
// dialback_key.h.
//
// Receiving role, on an inbound stream restarted over TLS: a key submission
// (db:result without type) for one of our domains starts a callback to the
// origin's authoritative server; its verdict comes back through apply_verdict,
// which answers the peer and, when valid, adds the origin to the stream's
// authenticated domains. A verify request (db:verify) is answered at once
// from our own secret.
//
// Originating role, on an outbound stream: our db:result with the key for the
// peer's stream id.
//
// Callbacks: a key an inbound peer presented is kept on the origin's outbound
// session in a list of pending callbacks (inbound slot, stream id, origin,
// key). Its db:verify goes out on the features of the stream restarted over
// TLS (or at once on an established session); an answer is matched to a
// pending callback by its id and its from, and its verdict handed to the
// inbound session. When the outbound session fails, every callback still
// waiting is answered invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "s2s/xmpp/dialback_key.h"
#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

class OutboundHost;
class InboundHost;
struct InboundSession;
struct OutboundSession;

// Receiving role: what one inbound session reads and may have outstanding.
inline constexpr size_t kDialbackDomainMax = 256;
inline constexpr size_t kDialbackKeyMax = xmpp::kDialbackKeyTextMax;
inline constexpr size_t kCallbacksPerSession = 8;
inline constexpr size_t kVerifyIdMax = 64;
inline constexpr size_t kDialbackElementSize = 512;

// Callbacks: what one outbound session carries.
inline constexpr size_t kCallbackKeyMax = 128;
inline constexpr size_t kCallbackStreamIdMax = 64;
// Callbacks one outbound session carries at most; more are answered invalid.
inline constexpr size_t kPendingCallbacksMax = 64;

// A key that an inbound peer presented, to be checked by the origin's
// authoritative server over an outbound session.
struct PendingCallback {
    int inbound_slot = -1;
    std::string stream_id;  // of the inbound stream, at most 64 bytes
    std::string origin;     // the domain the inbound peer claims
    std::string key;        // as received: 1 to 128 bytes of printable ASCII
    bool sent = false;      // the db:verify has been written
    uint64_t added_ms = 0;  // when it was asked for (monotonic)
};

// ---- receiving role (inbound stream) ----

// A db:result element starts at nesting LEVEL: a key submission is read
// (dialback authenticates only a stream restarted over TLS; elsewhere it is
// a policy-violation stream error).
void dialback_result_start(InboundHost& host, InboundSession& s, const xmpp::XmlElement& e,
                           uint32_t level);
// A db:verify element starts at nesting LEVEL: the request is read.
void dialback_verify_start(InboundSession& s, const xmpp::XmlElement& e, uint32_t level);
// Text of the stream outside stanzas: the key being read takes it. False
// when no dialback element is being read.
bool dialback_text(InboundSession& s, std::string_view text);
// An element ended, the parser now at DEPTH: a key submission is complete
// (the callback is asked for, or the peer answered at once), or a verify
// request is answered.
void dialback_element_end(InboundHost& host, InboundSession& s, uint32_t depth);

// The dialback callback's verdict for ORIGIN on this session: queues the
// db:result answer, and when valid adds ORIGIN to the authenticated domains
// and establishes a stream restarted over TLS.
void apply_verdict(InboundSession& s, std::string_view origin, bool valid);

// ---- callbacks and the originating role (outbound stream) ----

// An inbound peer on INBOUND_SLOT (stream id STREAM_ID) claims ORIGIN with
// KEY: ask the origin's authoritative server whether the key is valid. The
// verdict comes back through the server's dialback_verdict, each callback
// answered at most once, possibly before this returns (a callback that
// cannot be made is answered invalid at once).
void request_dialback_callback(OutboundHost& host, int inbound_slot, std::string_view stream_id,
                               std::string_view origin, std::string_view key);

// Originating role: queues the db:result with our key for S's remote stream
// id. False (after its log line) when there is no remote stream id or the
// element cannot be built or queued.
bool send_dialback_result(OutboundHost& host, OutboundSession& s);

// Queues the db:verify of every callback of S not yet sent, in order, while
// the write queue has room. Callbacks that can never be sent (empty key or
// stream id, element too long) are answered invalid and dropped.
void send_verifies(OutboundHost& host, OutboundSession& s);
// Whether a callback of S waits for its db:verify to be written.
bool callbacks_unsent(const OutboundSession& s);

// Whether a db:verify of S still waits for its answer.
bool callbacks_outstanding(const OutboundSession& s);

// The index of the sent callback that a db:verify answer with ID and FROM
// answers (the first one in order).
std::optional<size_t> match_callback(std::span<const PendingCallback> callbacks,
                                     std::string_view id, std::string_view from);

// A db:verify answer on S: matched, removed, and its verdict applied.
// Answers that match nothing are ignored.
void on_verify_response(OutboundHost& host, OutboundSession& s, const xmpp::XmlElement& e);

// Answers invalid every callback of S asked for at or before LIMIT
// (monotonic ms), each with a warning.
void expire_callbacks(OutboundHost& host, OutboundSession& s, uint64_t limit);

// Answers every callback of S invalid and forgets them.
void fail_callbacks(OutboundHost& host, OutboundSession& s);

}  // namespace fenra::s2s
