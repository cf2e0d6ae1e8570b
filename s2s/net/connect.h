// Outbound connection establishment: from a remote domain to a TCP connect in
// progress on a non-blocking IPv4 socket, registered in an outbound slot.
//
// The domain's targets (direct TLS first, then STARTTLS, in SRV order) are
// tried in order while connecting fails at the connection level: a host name
// that does not resolve to IPv4, a socket that cannot be made, a connect
// that fails at once or later. The session fails with the last of these
// words only when every target failed. TLS and authentication failures never
// move on to the next target.
#pragma once

#include <cstdint>
#include <optional>
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

// A socket with its connect under way, or the failure word (fd -1).
struct ConnectAttempt {
    int fd = -1;
    std::string_view failure;
};

// Opens a non-blocking socket and starts connecting to HOST:PORT. The host
// is a dotted quad or a name resolved to its first IPv4 address. Failures:
// "hostname-resolution-failed", "socket-creation-failed", "tcp-connect-failed".
ConnectAttempt start_connect(std::string_view host, uint16_t port);

}  // namespace fenra::s2s
