// Decimal numbers from the command line and the configuration file: an
// optional "+" or "-", then digits with "_" allowed between them (not first or
// last). An unsigned type takes a "-" only when every digit is 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace fenra {

std::optional<uint64_t> parse_unsigned(std::string_view s, uint64_t max);
std::optional<int64_t> parse_signed(std::string_view s, int64_t min, int64_t max);

inline std::optional<uint16_t> parse_u16(std::string_view s) {
    auto v = parse_unsigned(s, UINT16_MAX);
    if (!v) return std::nullopt;
    return static_cast<uint16_t>(*v);
}
inline std::optional<uint32_t> parse_u32(std::string_view s) {
    auto v = parse_unsigned(s, UINT32_MAX);
    if (!v) return std::nullopt;
    return static_cast<uint32_t>(*v);
}
inline std::optional<int32_t> parse_i32(std::string_view s) {
    auto v = parse_signed(s, INT32_MIN, INT32_MAX);
    if (!v) return std::nullopt;
    return static_cast<int32_t>(*v);
}

}  // namespace fenra
