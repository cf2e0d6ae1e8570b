#include "runtime/number.h"

namespace fenra {
namespace {

// Magnitude of the digit part, or nullopt when it is malformed or above limit.
std::optional<uint64_t> magnitude(std::string_view d, uint64_t limit) {
    if (d.empty() || d.front() == '_' || d.back() == '_') return std::nullopt;
    uint64_t v = 0;
    for (char c : d) {
        if (c == '_') continue;
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (limit - digit) / 10) return std::nullopt;
        v = v * 10 + digit;
    }
    return v;
}

}  // namespace

std::optional<uint64_t> parse_unsigned(std::string_view s, uint64_t max) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    auto v = magnitude(s, max);
    if (!v || (negative && *v != 0)) return std::nullopt;
    return v;
}

std::optional<int64_t> parse_signed(std::string_view s, int64_t min, int64_t max) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    const uint64_t limit =
        negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
    auto v = magnitude(s, limit);
    if (!v) return std::nullopt;
    if (negative) return static_cast<int64_t>(0 - *v);
    return static_cast<int64_t>(*v);
}

}  // namespace fenra
