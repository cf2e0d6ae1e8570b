#include "runtime/log.h"

#include <time.h>
#include <unistd.h>

#include <cstring>

namespace fenra::log {
namespace {

int g_fd = 2;

// Appends into a fixed buffer; once anything does not fit, the line is void.
struct LineBuf {
    char* p;
    size_t cap;
    size_t len = 0;
    bool overflow = false;

    void put(char c) {
        if (len >= cap) {
            overflow = true;
            return;
        }
        p[len++] = c;
    }
    void put(std::string_view s) {
        if (s.size() > cap - len) {
            overflow = true;
            len = cap;
            return;
        }
        std::memcpy(p + len, s.data(), s.size());
        len += s.size();
    }
    // Runs of plain bytes are copied whole.
    void put_escaped(std::string_view s) {
        static const char hex[] = "0123456789abcdef";
        size_t plain = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != 0x7f) continue;
            if (i > plain) put(s.substr(plain, i - plain));
            put('\\');
            put('x');
            put(hex[c >> 4]);
            put(hex[c & 15]);
            if (overflow) return;
            plain = i + 1;
        }
        if (plain < s.size()) put(s.substr(plain));
    }
    void put_uint(uint64_t v) {
        char tmp[20];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0)
            put(tmp[--n]);
    }
    void put_sint(int64_t v) {
        if (v < 0) {
            put('-');
            put_uint(~static_cast<uint64_t>(v) + 1);
        } else {
            put_uint(static_cast<uint64_t>(v));
        }
    }
    void put_padded(uint64_t v, int width) {
        char tmp[20];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        for (int i = n; i < width; ++i)
            put('0');
        while (n > 0)
            put(tmp[--n]);
    }
};

std::string_view level_word(Level level) {
    switch (level) {
        case Level::error:
            return "error";
        case Level::warn:
            return "warn";
        case Level::info:
            return "info";
    }
    return "info";
}

int64_t now_unix_ms() {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::optional<Level> parse_level(std::string_view word) {
    for (Level l : {Level::error, Level::warn, Level::info})
        if (word == level_word(l)) return l;
    return std::nullopt;
}

CivilTime civil_from_unix_ms(int64_t ms) {
    int64_t secs = ms / 1000;
    int64_t rem_ms = ms % 1000;
    if (rem_ms < 0) {
        rem_ms += 1000;
        secs -= 1;
    }
    int64_t days = secs / 86400;
    int64_t sod = secs % 86400;
    if (sod < 0) {
        sod += 86400;
        days -= 1;
    }
    // Days since 1970-01-01 to a proleptic Gregorian date, counted in 400-year
    // eras starting on 0000-03-01 so that the leap day falls at the end.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;                                       // [0, 146096]
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
    const int64_t mp = (5 * doy + 2) / 153;                                     // [0, 11]
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;                             // [1, 31]
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;                                // [1, 12]
    const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    CivilTime t;
    t.year = y;
    t.month = static_cast<unsigned>(m);
    t.day = static_cast<unsigned>(d);
    t.hour = static_cast<unsigned>(sod / 3600);
    t.minute = static_cast<unsigned>(sod / 60 % 60);
    t.second = static_cast<unsigned>(sod % 60);
    t.millis = static_cast<unsigned>(rem_ms);
    return t;
}

size_t format_line(char* out, size_t cap, int64_t unix_ms, Level level, std::string_view scope,
                   Pieces pieces) {
    LineBuf b{out, cap};
    const CivilTime t = civil_from_unix_ms(unix_ms);
    if (t.year < 0) {
        b.put('-');
        b.put_padded(static_cast<uint64_t>(-t.year), 4);
    } else {
        b.put_padded(static_cast<uint64_t>(t.year), 4);
    }
    b.put('-');
    b.put_padded(t.month, 2);
    b.put('-');
    b.put_padded(t.day, 2);
    b.put('T');
    b.put_padded(t.hour, 2);
    b.put(':');
    b.put_padded(t.minute, 2);
    b.put(':');
    b.put_padded(t.second, 2);
    b.put('.');
    b.put_padded(t.millis, 3);
    b.put(' ');
    b.put(level_word(level));
    b.put('(');
    b.put(scope);
    b.put("): ");
    for (const Arg& a : pieces) {
        switch (a.kind()) {
            case Arg::Kind::text:
                b.put_escaped(a.text());
                break;
            case Arg::Kind::sint:
                b.put_sint(a.sint());
                break;
            case Arg::Kind::uint:
                b.put_uint(a.uint());
                break;
            case Arg::Kind::error:
                b.put("error.");
                b.put(error_name(a.error()));
                break;
            case Arg::Kind::null:
                b.put("null");
                break;
        }
        if (b.overflow) return 0;
    }
    b.put('\n');
    return b.overflow ? 0 : b.len;
}

void write(Level level, std::string_view scope, Pieces pieces) {
    char line[kMaxLine];
    const size_t n = format_line(line, sizeof line, now_unix_ms(), level, scope, pieces);
    if (n == 0) return;
    ssize_t r = ::write(g_fd, line, n);
    (void)r;  // a short or failed write to standard error is ignored
}

void set_output_fd(int fd) {
    g_fd = fd;
}

}  // namespace fenra::log
