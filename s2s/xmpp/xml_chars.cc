#include "s2s/xmpp/xml_chars.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fenra::xmpp {
namespace {

// What a UTF-8 lead byte asks of the bytes after it: how many follow, the
// range of the first (ruling out overlong forms, surrogates and anything
// above U+10FFFF), and the mask of the others in a little-endian word of the
// sequence. need 0: not a lead byte.
struct LeadByte {
    uint8_t need = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    uint32_t continuation_mask = 0;
};
struct LeadBytes {
    LeadByte of[256] = {};
    constexpr LeadBytes() {
        for (int c = 0xC2; c < 0xF5; ++c) {
            LeadByte& l = of[c];
            l.need = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
            l.continuation_mask = l.need == 1 ? 0 : l.need == 2 ? 0x00C00000u : 0xC0C00000u;
        }
        of[0xE0].low = 0xA0;
        of[0xED].high = 0x9F;
        of[0xF0].low = 0x90;
        of[0xF4].high = 0x8F;
    }
};
constexpr LeadBytes kLeadBytes;

#if defined(__SSE2__)
inline __m128i bytes(int c) {
    return _mm_set1_epi8(static_cast<char>(c));
}

inline __m128i load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Lanes not zero where the bytes of x break UTF-8 or encode a character XML
// does not allow, given the bytes 1, 2 and 3 before each (b1, b2, b3). A
// sequence cut by the end of x is judged with the next block.
inline __m128i block_faults(__m128i x, __m128i b1, __m128i b2, __m128i b3) {
    const __m128i zero = _mm_setzero_si128();
    // A continuation byte where, and only where, a lead byte asks for one:
    // from C0 for the next byte, from E0 for the one after, from F0 for the
    // third.
    const __m128i wanted =
        _mm_or_si128(_mm_or_si128(_mm_subs_epu8(b1, bytes(0xBF)), _mm_subs_epu8(b2, bytes(0xDF))),
                     _mm_subs_epu8(b3, bytes(0xEF)));
    const __m128i continuation = _mm_cmplt_epi8(x, bytes(0xC0));  // as signed: 80 to BF
    __m128i f = _mm_cmpeq_epi8(_mm_cmpeq_epi8(wanted, zero), continuation);
    // Bytes never in UTF-8: C0 and C1 (overlong), F5 on (above U+10FFFF).
    f = _mm_or_si128(f, _mm_cmpeq_epi8(_mm_and_si128(x, bytes(0xFE)), bytes(0xC0)));
    f = _mm_or_si128(f, _mm_subs_epu8(x, bytes(0xF4)));
    // The range of the byte after E0 and F0 (overlong forms), ED (surrogates)
    // and F4 (above U+10FFFF); as signed, continuation bytes are below all
    // others.
    const auto after = [&](int lead, __m128i out_of_range) {
        f = _mm_or_si128(f, _mm_and_si128(_mm_cmpeq_epi8(b1, bytes(lead)), out_of_range));
    };
    after(0xE0, _mm_cmplt_epi8(x, bytes(0xA0)));
    after(0xED, _mm_cmpgt_epi8(x, bytes(0x9F)));
    after(0xF0, _mm_cmplt_epi8(x, bytes(0x90)));
    after(0xF4, _mm_cmpgt_epi8(x, bytes(0x8F)));
    // U+FFFE and U+FFFF: EF BF BE and EF BF BF.
    const __m128i ef_bf =
        _mm_and_si128(_mm_cmpeq_epi8(b2, bytes(0xEF)), _mm_cmpeq_epi8(b1, bytes(0xBF)));
    f = _mm_or_si128(f,
                     _mm_and_si128(ef_bf, _mm_cmpeq_epi8(_mm_or_si128(x, bytes(1)), bytes(0xBF))));
    // Controls but tab, line feed and carriage return (9 | 4 = 13 | 4).
    const __m128i control = _mm_cmpeq_epi8(_mm_subs_epu8(x, bytes(0x1F)), zero);
    const __m128i allowed = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(x, bytes(4)), bytes('\r')),
                                         _mm_cmpeq_epi8(x, bytes('\n')));
    return _mm_or_si128(f, _mm_andnot_si128(allowed, control));
}
#endif

}  // namespace

// Runs of printable ASCII, the usual case, are skipped sixteen bytes at a
// time, and a whole sequence at once when it is there; the state machine
// carries a sequence cut by the end of the input over to the next one.
const char* XmlCharChecker::check(const char* from, const char* to) {
    const auto* p = reinterpret_cast<const unsigned char*>(from);
    const auto* const end = reinterpret_cast<const unsigned char*>(to);
    const auto bad = [&](const unsigned char* at) { return reinterpret_cast<const char*>(at); };
    while (need_ > 0 && p < end) {
        const unsigned char c = *p;
        if (c < low_ || c > high_) return bad(p);
        ++p;
        low_ = 0x80;
        high_ = 0xBF;
        cp_ = cp_ << 6 | (c & 0x3Fu);
        if (--need_ == 0 && (cp_ == 0xFFFE || cp_ == 0xFFFF)) return bad(p - 1);
    }
#if defined(__SSE2__)
    // Bytes below 0x20 and from 0x80 on are the ones below 0x20 as signed.
    const __m128i space = _mm_set1_epi8(0x20);
    if (end - p >= 16) {
        // Blocks of printable ASCII are passed over (64 bytes at a time where
        // they can), the others judged whole; only when one has a fault does
        // the exact way below look for the first.
        const unsigned char* const start = p;
        const __m128i zero = _mm_setzero_si128();
        __m128i faults = zero;
        const auto special = [&](const unsigned char* at) -> uint64_t {
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(load(at), space)));
        };
        const auto judge = [&](const unsigned char* at) __attribute__((always_inline)) {
            const __m128i x = load(at);
            // Nothing before the start is a lead byte: it is a boundary.
            const bool first = at == start;
            faults =
                _mm_or_si128(faults, block_faults(x, first ? _mm_slli_si128(x, 1) : load(at - 1),
                                                  first ? _mm_slli_si128(x, 2) : load(at - 2),
                                                  first ? _mm_slli_si128(x, 3) : load(at - 3)));
        };
        // Blocks to judge: those with a byte that is not printable ASCII, and
        // those after one whose last three bytes may begin a sequence.
        uint64_t carry = 0;
        while (end - p >= 64) {
            const __m128i a =
                _mm_or_si128(_mm_cmplt_epi8(load(p), space), _mm_cmplt_epi8(load(p + 16), space));
            const __m128i b = _mm_or_si128(_mm_cmplt_epi8(load(p + 32), space),
                                           _mm_cmplt_epi8(load(p + 48), space));
            if ((_mm_movemask_epi8(_mm_or_si128(a, b)) | carry) != 0) {
                const uint64_t s = special(p) | special(p + 16) << 16 | special(p + 32) << 32 |
                                   special(p + 48) << 48;
                uint64_t need = s | (s & 0xE000E000E000E000u) << 3 | carry;
                carry = s >> 61;
                while (need != 0) {
                    const unsigned block = static_cast<unsigned>(__builtin_ctzll(need)) / 16;
                    judge(p + 16 * block);
                    need &= ~(uint64_t{0xFFFF} << (16 * block));
                }
            }
            p += 64;
        }
        for (; end - p >= 16; p += 16) {
            const uint64_t s = special(p);
            if ((s | carry) != 0) judge(p);
            carry = s >> 13;
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(faults, zero)) != 0xFFFF) {
            p = start;
        } else {
            // Back to the lead byte of a sequence the last block cuts.
            const unsigned char* q = p;
            while (q > p - 3 && (q[-1] & 0xC0) == 0x80)
                --q;
            if (q[-1] >= 0xC0) p = q - 1;
        }
    }
#endif
    for (;;) {
#if defined(__SSE2__)
        while (end - p >= 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(x, space)));
            if (m != 0) {
                p += __builtin_ctz(m);
                break;
            }
            p += 16;
        }
#endif
        while (p < end && *p >= 0x20 && *p < 0x80)
            ++p;
        if (p == end) return nullptr;
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c != '\t' && c != '\n' && c != '\r') return bad(p);
            ++p;
            continue;
        }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // A whole sequence judged at once, without a branch on its length;
        // anything in doubt takes the exact way below.
        if (end - p >= 4) {
            const LeadByte l = kLeadBytes.of[c];
            uint32_t w;
            std::memcpy(&w, p, 4);
            const uint32_t second = (w >> 8) & 0xFF;
            const uint32_t cont = l.continuation_mask;
            const bool ok = (second >= l.low) & (second <= l.high) &
                            ((w & cont) == (cont & 0x80808080u)) &
                            ((w & 0x00FEFFFFu) != 0x00BEBFEFu);  // EF BF BE/BF: U+FFFE, U+FFFF
            if (ok && l.need > 0) {
                p += l.need + 1;
                continue;
            }
        }
#endif
        // The lead byte fixes the length and the range of the next byte, which
        // rules out overlong forms, surrogates and anything above U+10FFFF.
        uint8_t need = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (c < 0xC2) return bad(p);
        if (c < 0xE0) {
            need = 1;
        } else if (c < 0xF0) {
            need = 2;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c < 0xF5) {
            need = 3;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return bad(p);
        }
        if (end - p > need) {
            if (p[1] < low || p[1] > high) return bad(p + 1);
            for (int i = 2; i <= need; ++i)
                if ((p[i] & 0xC0) != 0x80) return bad(p + i);
            // U+FFFE and U+FFFF: EF BF BE and EF BF BF.
            if (c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return bad(p + 2);
            p += need + 1;
            continue;
        }
        // Cut by the end of the input: the state machine takes over.
        need_ = need;
        low_ = low;
        high_ = high;
        cp_ = c & (need == 1 ? 0x1Fu : need == 2 ? 0x0Fu : 0x07u);
        ++p;
        return check(bad(p), to);
    }
}

}  // namespace fenra::xmpp
