// The connect phase of an outbound session: from a remote domain to a TCP
// connect in progress on a non-blocking IPv4 socket, registered in an
// outbound slot.
//
// The domain's targets (direct TLS first, then STARTTLS, in SRV order) are
// tried in order while connecting fails at the connection level: a host name
// that does not resolve to IPv4, a socket that cannot be made, a connect
// that fails at once or later. The session fails with the last of these
// words only when every target failed. TLS and authentication failures never
// move on to the next target.
//
// The phases: resolving the domain's targets (synchronous today), then one
// connect per target until one completes (ConnState::connecting).
#pragma once

#include <string_view>

namespace fenra::s2s {

class S2sServer;
struct OutboundSession;

// Starts connecting S (idle, no socket) to its remote domain. On return S is
// either registered in a slot with a connect in progress, or failed with its
// reason (its socket closed, no slot held, still in the map).
void connect_outbound(S2sServer& server, OutboundSession& s);

// Write readiness of S while connecting: the connect finished. Success hands
// S to the session (on_connected); a connect error moves on to the next
// target in the same slot, or fails S (which closes it).
void on_connect_ready(S2sServer& server, OutboundSession& s);

// The connect in progress failed (HOW: "failed", "timed out"): the next
// target in the same slot, or S fails (which closes it).
void connect_failed(S2sServer& server, OutboundSession& s, std::string_view how);

}  // namespace fenra::s2s
