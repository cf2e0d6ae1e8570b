// Server dialback keys: the lowercase hex HMAC-SHA256, under the dialback
// secret (32 random bytes per process, or the bytes of a secret file), of "RECEIVING ORIGINATING
// STREAMID" (single blanks, nothing before or after). Keys are stateless: any key this process
// issued can be recomputed from the secret and the three values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "runtime/result.h"

namespace fenra::xmpp {

inline constexpr size_t kDialbackKeySize = 64;
using DialbackKey = std::array<char, kDialbackKeySize>;

// OutOfMemory when the library cannot set up the HMAC.
Result<DialbackKey> dialback_key(std::span<const uint8_t> secret, std::string_view receiving,
                                 std::string_view originating, std::string_view stream_id);

inline std::string_view key_text(const DialbackKey& key) {
    return {key.data(), key.size()};
}

// Whether a received key text is the expected key: exactly 64 bytes and equal
// byte for byte (uppercase hex does not match). The comparison takes the same
// time wherever the first difference lies.
bool dialback_key_matches(std::string_view received, const DialbackKey& expected);

// The longest key text we take from a peer.
inline constexpr size_t kDialbackKeyTextMax = 128;

// Whether a key text from a peer may be passed on or checked at all: 1 to
// kDialbackKeyTextMax bytes of printable ASCII (0x20 to 0x7E).
bool key_text_acceptable(std::string_view key);

}  // namespace fenra::xmpp
