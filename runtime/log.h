// Diagnostic log lines on standard error, one write per line:
//
//     2026-03-02T09:05:07.042 info(ipc_server): IPC client connected, slot=3
//
// A message is a list of pieces: text, integers, errors ("error.Name") and
// absent optionals ("null"). Control bytes (below 0x20, and 0x7f) inside text
// pieces are written as \xNN so that a peer-supplied value can never start a
// new line. A line longer than 4096 bytes (newline included) is dropped whole.
//
// A line above the level in effect (set_level) is left out before anything
// is built: the check is one comparison inline at the call site. Traffic
// lines (traffic) are info lines written per unit of traffic passed on, and
// can be left out on their own (set_traffic_lines).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace fenra::log {

enum class Level : uint8_t { error, warn, info };

// "error", "warn" or "info"; nothing for anything else.
std::optional<Level> parse_level(std::string_view word);

inline constexpr size_t kMaxLine = 4096;

class Arg {
  public:
    enum class Kind : uint8_t { text, sint, uint, error, null };

    Arg(const char* s) : kind_(Kind::text), text_(s) {}
    Arg(std::string_view s) : kind_(Kind::text), text_(s) {}
    Arg(const std::string& s) : kind_(Kind::text), text_(s) {}
    template <std::signed_integral I>
    Arg(I v) : kind_(Kind::sint), sint_(v) {}
    template <std::unsigned_integral I>
    requires(!std::same_as<I, bool>) Arg(I v) : kind_(Kind::uint), uint_(v) {}
    Arg(bool) = delete;  // write "true"/"false" explicitly
    Arg(Error e) : kind_(Kind::error), error_(e) {}
    Arg(std::nullopt_t) : kind_(Kind::null) {}
    template <std::integral I>
    Arg(std::optional<I> v) : Arg(from_optional(v)) {}

    Kind kind() const { return kind_; }
    std::string_view text() const { return text_; }
    int64_t sint() const { return sint_; }
    uint64_t uint() const { return uint_; }
    Error error() const { return error_; }

  private:
    template <std::integral I>
    static Arg from_optional(std::optional<I> v) {
        if (!v) return Arg(std::nullopt);
        return Arg(*v);
    }

    Kind kind_;
    std::string_view text_{};
    union {
        int64_t sint_;
        uint64_t uint_;
        Error error_;
    };
};

using Pieces = std::initializer_list<Arg>;

struct CivilTime {
    int64_t year;
    unsigned month, day, hour, minute, second, millis;
};

// Proleptic Gregorian calendar date and time of a millisecond count since
// 1970-01-01T00:00:00 UTC (negative counts are before the epoch).
CivilTime civil_from_unix_ms(int64_t ms);

// Builds one complete line (newline included) into out. Returns its length,
// or 0 when it does not fit in cap bytes.
size_t format_line(char* out, size_t cap, int64_t unix_ms, Level level, std::string_view scope,
                   Pieces pieces);

// Writes one line with the current wall-clock time, in one write(2).
void write(Level level, std::string_view scope, Pieces pieces);

namespace detail {
inline Level g_level = Level::info;
inline bool g_traffic = true;
}  // namespace detail

// Lines of LEVEL are written at the level in effect.
inline bool enabled(Level level) {
    return level <= detail::g_level;
}

inline void error(std::string_view scope, Pieces pieces) {
    write(Level::error, scope, pieces);
}
inline void warn(std::string_view scope, Pieces pieces) {
    if (enabled(Level::warn)) write(Level::warn, scope, pieces);
}
inline void info(std::string_view scope, Pieces pieces) {
    if (enabled(Level::info)) write(Level::info, scope, pieces);
}
// An info line per unit of traffic (a stanza passed on, say).
inline void traffic(std::string_view scope, Pieces pieces) {
    if (detail::g_traffic && enabled(Level::info)) write(Level::info, scope, pieces);
}

// Leaves out every line above LEVEL (default info: every line is written).
inline void set_level(Level level) {
    detail::g_level = level;
}
// Writes traffic lines or leaves them out (default: written).
inline void set_traffic_lines(bool on) {
    detail::g_traffic = on;
}

// The descriptor lines go to (2 unless a test changes it).
void set_output_fd(int fd);

}  // namespace fenra::log
