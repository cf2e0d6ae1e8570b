// The connect phase of an outbound session: from a remote domain to a
// connected socket in an outbound slot, without waiting.
//
// The session takes its slot at once and resolves (ConnState::resolving):
// its Dialer (s2s/net/dialer.h) finds the domain's targets (direct TLS
// first, then STARTTLS, in SRV order), looks up each target's addresses when
// its turn comes and races them with Happy Eyeballs, each target within the
// connect time-out. A target without addresses or whose connect fails or
// times out is passed over; the session fails with the last target's word
// only when every target failed. TLS and authentication failures never move
// on to the next target. The negotiation time-out counts from the start,
// resolution included.
#pragma once

namespace fenra::s2s {

class OutboundHost;
struct OutboundSession;

// Starts S (idle, no socket) on its way to its remote domain. Without a free
// slot S fails at once ("outbound-slots-exhausted"); otherwise it holds a
// slot and the dial's answer comes later (connected: on_connected; failed:
// "dns-resolution-failed" for a bogus SRV answer,
// "hostname-resolution-failed", "socket-creation-failed",
// "tcp-connect-failed").
void connect_outbound(OutboundHost& host, OutboundSession& s);

}  // namespace fenra::s2s
