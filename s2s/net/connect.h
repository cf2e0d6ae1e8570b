// Outbound connection establishment for a session: its remote domain's
// targets are found and connected through a Dialer (s2s/net/dialer.h),
// without waiting; the session resolves, then connects, in a slot of its own.
#pragma once

#include <cstdint>

namespace fenra::s2s {

class S2sServer;
struct OutboundSession;

// How long one target may take to connect, all its addresses together.
inline constexpr uint64_t kTargetConnectTimeoutMs = 15000;

// Starts S (idle, no socket) on its way to its remote domain: it takes a
// slot and resolves; once connected it goes on with on_connected. On
// failure, now or later, S fails with the word of the last target's
// failure ("dns-resolution-failed" for a bogus SRV answer,
// "hostname-resolution-failed", "socket-creation-failed",
// "tcp-connect-failed"); "outbound-slots-exhausted" without a free slot.
void connect_outbound(S2sServer& server, OutboundSession& s);

}  // namespace fenra::s2s
