// The IPC message table shared by both daemons and the core. Every message is a
// frame: u32 little-endian payload length L, then L payload bytes, the first of
// which is the message type. Body fields: u8, u32 (little-endian), string (u16
// little-endian length, then the bytes). Decoded strings point into the input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/result.h"

namespace fenra::ipc {

enum MsgType : uint8_t {
    kAuthRequest = 1,       // u32 id, u8 mechanism (1-3), string addr, u8 flag, string reserved,
                            // string account, string initial response
    kAuthChallenge = 2,     // u32 id, string data
    kAuthSuccess = 3,       // u32 id, string username, string second, string third (may be absent)
    kAuthFailure = 4,       // u32 id, string condition
    kAuthResponse = 5,      // u32 id, string data
    kType6 = 6,             // u32 id, four strings
    kType7 = 7,             // u32 id, u8 ok, string condition
    kType8 = 8,             // u32 id, two strings
    kType9 = 9,             // u32 id, u8 ok, string condition
    kType10 = 10,           // u32 id, one string
    kType11 = 11,           // u32 id, u8 ok, string condition
    kType12 = 12,           // u8 count (at most 8), then count bytes each 1-3
    kDeliveryRequest = 16,  // string from, string to, string stanza
    kInboundStanza = 17,    // string from, string to, string stanza
    kDeliveryFailed = 18,   // string from, string to, string condition
};

inline constexpr uint32_t kMaxDeclaredLength = 65536;  // larger lengths never complete
inline constexpr size_t kFrameScratch =
    4096;  // largest frame fenra-auth-oidc builds, header included
// The fields a frame of types 16-18 adds to its three strings: length, type
// byte and three string lengths.
inline constexpr size_t kDeliveryFrameFields = 4 + 1 + 3 * 2;
inline constexpr size_t kMaxString = 65535;
// The longest payload a message of any type can have (type 6: id and four
// strings of the longest kind).
inline constexpr size_t kMaxPayload = 1 + 4 + 4 * (2 + kMaxString);

// One decoded (or to-be-encoded) message. Fields not used by a type stay zero.
//   type 1:        id, byte = mechanism, flag, str = {address, reserved, account, initial}
//   types 2,4,5,10: id, str[0]
//   type 3:        id, str = {username, second, third}
//   type 6:        id, str[0..3]
//   types 7,9,11:  id, byte = ok, str[0] = condition
//   type 8:        id, str[0..1]
//   type 12:       count, items
//   types 16-18:   str = {from, to, stanza-or-condition}
struct Message {
    uint8_t type = 0;
    uint32_t id = 0;
    uint8_t byte = 0;
    uint8_t flag = 0;
    uint8_t nstr = 0;  // number of strings used by the type
    std::array<std::string_view, 4> str{};
    uint8_t count = 0;
    std::array<uint8_t, 8> items{};
};

// Decodes one payload (type byte and body). Errors: Malformed for an unknown
// type (0, 13-15, above 18), a body shorter than its fixed fields, a string
// running past the end, or an enumeration byte out of range. Trailing bytes
// after the last field are ignored.
Result<Message> decode(std::span<const uint8_t> payload);

// The from and to of a payload of types 16-18 whose third string may be cut
// off (a frame too long to be held whole); nothing when the type is another
// or the two strings are not complete.
std::optional<std::array<std::string_view, 2>> delivery_addresses(std::span<const uint8_t> payload);

// The length of the whole frame encode() builds for m. Errors: Malformed (an
// unknown type), FieldTooLong (a string over 65535 bytes).
Result<size_t> frame_size(const Message& m);

// Encodes a whole frame (length field included) into out. Errors: FieldTooLong
// (a string over 65535 bytes), BufferTooSmall (the frame exceeds out.size()).
Result<size_t> encode(const Message& m, std::span<uint8_t> out);

// Convenience builders.
Message delivery(uint8_t type, std::string_view from, std::string_view to, std::string_view third);
Message auth_success(uint32_t id, std::string_view username, std::string_view second,
                     std::string_view third);
Message auth_failure(uint32_t id, std::string_view condition);
Message ok_condition(uint8_t type, uint32_t id, uint8_t ok, std::string_view condition);

}  // namespace fenra::ipc
