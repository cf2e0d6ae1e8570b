// A TCP connect in progress on a non-blocking IPv4 socket, from a host name
// or dotted quad and a port.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace fenra::s2s {

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
