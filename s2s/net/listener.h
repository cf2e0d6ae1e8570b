// The S2S listening socket, on IPv4 or IPv6.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/result.h"

namespace fenra::s2s {

inline constexpr int kS2sBacklog = 128;

// An IPv4 dotted quad: four decimal parts 0-255 separated by ".". Returns the
// four address bytes in network order.
std::optional<std::array<uint8_t, 4>> parse_ipv4(std::string_view s);

// A non-blocking stream listener with SO_REUSEADDR, bound to ADDRESS and
// PORT, listening with a backlog of kS2sBacklog. ADDRESS is an IPv4 dotted
// quad or an IPv6 address in the text form of RFC 4291 (no brackets, no
// zone); "::" listens on every address of both families (IPv4 peers appear
// as IPv4-mapped IPv6 addresses), any other IPv6 address on IPv6 only.
// Errors: InvalidAddress (address unparsable), the socket call's own error,
// PermissionDenied, AddressInUse or SystemResources from bind,
// SystemResources from listen.
Result<int> open_s2s_listener(std::string_view address, uint16_t port);

}  // namespace fenra::s2s
