// The characters of an XML stream in UTF-8: checking that input bytes are
// UTF-8 of characters XML allows, whether a code point is one, and its
// encoding. The checker passes over printable ASCII a block at a time (SSE2
// where there is), judges whole sequences at once where it can, and carries a
// sequence cut by the end of one input over to the next.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenra::xmpp {

// Whether a code point is a Char of XML 1.0: tab, line feed, carriage
// return, and everything from U+0020 on but the surrogates, U+FFFE and U+FFFF.
inline bool xml_char(uint32_t cp) {
    if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
}

// The UTF-8 encoding of a code point at out: its length (1 to 4).
inline size_t encode_utf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

class XmlCharChecker {
  public:
    // The first byte of [from, to) that, continuing the bytes checked
    // before, is not UTF-8 of an XML character, or null (an incomplete
    // sequence at the end is carried over).
    const char* check(const char* from, const char* to);
    // Forgets a sequence carried over, as for a new stream.
    void reset() { need_ = 0; }

  private:
    // The sequence being checked: bytes still to come, the range of the next
    // one, the code point so far.
    uint8_t need_ = 0;
    uint8_t low_ = 0x80;
    uint8_t high_ = 0xBF;
    uint32_t cp_ = 0;
};

}  // namespace fenra::xmpp
