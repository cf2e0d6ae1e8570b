// Server dialback on the outbound side: the originating role (db:result on
// our own outbound streams) and the callbacks that verify a key an inbound
// peer presented, over an outbound session to the origin's authoritative
// server.
#pragma once

#include <string_view>

namespace fenra::s2s {

class S2sServer;

// An inbound peer on `inbound_slot` (stream id `stream_id`) claims `origin`
// with `key`: ask the origin's authoritative server whether the key is valid.
// The verdict comes back through apply_dialback_verdict; a callback that
// cannot be made answers invalid.
void request_dialback_callback(S2sServer& server, int inbound_slot, std::string_view stream_id,
                               std::string_view origin, std::string_view key);

}  // namespace fenra::s2s
