// The connect phase of an outbound session: from a remote domain to a
// connected socket in an outbound slot, without waiting.
//
// The session takes its slot at once and resolves (ConnState::resolving):
// its Dialer (s2s/net/dialer.h) finds the domain's targets (direct TLS
// first, then STARTTLS, in SRV order), looks up each target's addresses when
// its turn comes and races them with Happy Eyeballs, each target within the
// connect time-out. A target without addresses or whose connect fails or
// times out is passed over; the session fails with the last target's word
// only when every target failed. So is a target whose TLS (direct, or after
// STARTTLS) fails or is not up within the connect time-out counted from the
// TCP connect: the targets left stay with the session until its TLS is up.
// Failures after TLS (DANE, SASL, dialback) never move on to the next
// target. The negotiation time-out counts from the start, resolution
// included.
#pragma once

#include <string_view>

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

// Whether S's connection may still be given up for the next target: TLS is
// not up on it yet and a target is left.
bool next_target_left(const OutboundSession& s);

// S's TLS on its connection failed or timed out (HOW: "failed", "timed
// out"). With a target left, the connection is closed, S resolves again with
// the state of the attempt reset (queued deliveries stay) and the next target
// is tried, which may fail S (then closed); true then. False when no target
// is left (S as it was).
bool next_target(OutboundHost& host, OutboundSession& s, std::string_view how);

}  // namespace fenra::s2s
