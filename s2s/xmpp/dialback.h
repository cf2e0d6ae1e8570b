// Server dialback on the outbound side: the originating role (db:result on
// our own outbound streams) and the callbacks that check a key an inbound
// peer presented, over an outbound session to the origin's authoritative
// server.
//
// A callback is kept on the origin's outbound session in a list of pending
// callbacks (inbound slot, stream id, origin, key). Its db:verify goes out on
// the features of the stream restarted over TLS (or at once on an
// established session); an answer is matched to a pending callback by its id
// and its from, and its verdict handed to the inbound session. When the
// outbound session fails, every callback still waiting is answered invalid.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

class S2sServer;
struct OutboundSession;
struct PendingCallback;

// An inbound peer on INBOUND_SLOT (stream id STREAM_ID) claims ORIGIN with
// KEY: ask the origin's authoritative server whether the key is valid. The
// verdict comes back through apply_dialback_verdict (inbound_session.h), each
// callback answered at most once, possibly before this
// returns (a callback that cannot be made is answered invalid at once).
void request_dialback_callback(S2sServer& server, int inbound_slot, std::string_view stream_id,
                               std::string_view origin, std::string_view key);

// Originating role: queues the db:result with our key for S's remote stream
// id. False (after its log line) when there is no remote stream id or the
// element cannot be built or queued.
bool send_dialback_result(S2sServer& server, OutboundSession& s);

// Queues the db:verify of every callback of S not yet sent, in order, while
// the write queue has room. Callbacks that can never be sent (empty key or
// stream id, element too long) are answered invalid and dropped.
void send_verifies(S2sServer& server, OutboundSession& s);
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
void on_verify_response(S2sServer& server, OutboundSession& s, const xmpp::XmlElement& e);

// Answers every callback of S invalid and forgets them.
void fail_callbacks(S2sServer& server, OutboundSession& s);

}  // namespace fenra::s2s
