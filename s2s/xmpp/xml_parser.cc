#include "s2s/xmpp/xml_parser.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fenra::xmpp {
namespace detail {

EventArena::~EventArena() {
    release();
}

void EventArena::load(size_t block) {
    cur_ = block;
    base_ = blocks_[block].data;
    cap_ = blocks_[block].size;
    start_ = end_ = blocks_[block].used;
}

// Makes an empty block of at least `need` bytes current. The blocks after the
// current one are always empty spares.
bool EventArena::next_block(size_t need) {
    store();
    const size_t next = blocks_.size() == 0 ? 0 : cur_ + 1;
    if (next < blocks_.size() && blocks_[next].size >= need) {
        load(next);
        return true;
    }
    size_t size = kBlock;
    if (need > kBlock) size = (need + need / 2 + 4095) & ~size_t{4095};
    if (total_ + size > limit_) size = need;
    if (total_ + size > limit_) return false;
    char* data = static_cast<char*>(std::malloc(size));
    if (data == nullptr) return false;
    if (!blocks_.push(Block{data, size, 0}, SIZE_MAX)) {
        std::free(data);
        return false;
    }
    total_ += size;
    // Keep the spares after the new block.
    for (size_t i = blocks_.size() - 1; i > next; --i)
        std::swap(blocks_[i], blocks_[i - 1]);
    load(next);
    return true;
}

bool EventArena::append_slow(const char* p, size_t n) {
    const size_t len = end_ - start_;
    const size_t need = len + n;
    if (blocks_.size() > 0 && start_ == 0) {
        // The open string is alone in its block: grow the block.
        size_t size = cap_ * 2 > need ? cap_ * 2 : need;
        if (total_ - cap_ + size > limit_) size = need;
        if (total_ - cap_ + size > limit_) return false;
        char* data = static_cast<char*>(std::realloc(base_, size));
        if (data == nullptr) return false;
        total_ = total_ - cap_ + size;
        blocks_[cur_].data = base_ = data;
        blocks_[cur_].size = cap_ = size;
    } else {
        const char* old = base_ + start_;
        if (!next_block(need)) return false;
        if (len > 0) std::memcpy(base_, old, len);
        end_ = len;
    }
    std::memcpy(base_ + end_, p, n);
    end_ += n;
    return true;
}

std::string_view EventArena::commit() {
    std::string_view s(base_ + start_, end_ - start_);
    start_ = end_;
    return s;
}

void* EventArena::allocate(size_t n, size_t align) {
    size_t off = (start_ + align - 1) & ~(align - 1);
    if (blocks_.size() == 0 || off + n > cap_) {
        if (!next_block(n)) return nullptr;
        off = 0;  // blocks come from malloc, aligned for any record
    }
    start_ = end_ = off + n;
    return base_ + off;
}

EventArena::Mark EventArena::mark() const {
    if (blocks_.size() == 0) return Mark{};
    return Mark{cur_, start_};
}

void EventArena::rewind(Mark m) {
    if (blocks_.size() == 0) return;
    end_ = start_;
    store();
    // Everything after the mark's block goes, but one ordinary spare.
    size_t out = m.block + 1;
    bool spare = false;
    for (size_t i = m.block + 1; i < blocks_.size(); ++i) {
        Block b = blocks_[i];
        if (!spare && b.size == kBlock) {
            b.used = 0;
            blocks_[out++] = b;
            spare = true;
        } else {
            std::free(b.data);
            total_ -= b.size;
        }
    }
    blocks_.truncate(out);
    Block& mb = blocks_[m.block];
    mb.used = m.used;
    if (m.used == 0 && mb.size > kBlock) {
        // A block grown for one large item shrinks back once it is empty.
        char* data = static_cast<char*>(std::realloc(mb.data, kBlock));
        if (data != nullptr) {
            total_ -= mb.size - kBlock;
            mb.data = data;
            mb.size = kBlock;
        }
    }
    load(m.block);
}

void EventArena::release() {
    for (size_t i = 0; i < blocks_.size(); ++i)
        std::free(blocks_[i].data);
    blocks_.release();
    cur_ = 0;
    base_ = nullptr;
    cap_ = start_ = end_ = total_ = 0;
}

}  // namespace detail

namespace {

constexpr std::string_view kStream = "stream";
constexpr std::string_view kStreamsNamespace = "http://etherx.jabber.org/streams";

// Character classes of the tokenizer.
constexpr uint8_t kSpace = 1;    // the four whitespace characters
constexpr uint8_t kNameEnd = 2;  // ends a tag name: whitespace, '/', '>'

struct CharClasses {
    uint8_t of[256] = {};
    constexpr CharClasses() {
        for (unsigned char c : {' ', '\t', '\n', '\r'})
            of[c] = kSpace | kNameEnd;
        of[static_cast<unsigned char>('/')] = kNameEnd;
        of[static_cast<unsigned char>('>')] = kNameEnd;
    }
};
constexpr CharClasses kClasses;

inline bool is(char c, uint8_t cls) {
    return (kClasses.of[static_cast<unsigned char>(c)] & cls) != 0;
}

// First a or b in [p, end), or end.
inline const char* find2(const char* p, const char* end, char a, char b) {
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int m = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)));
        if (m != 0) return p + __builtin_ctz(static_cast<unsigned>(m));
        p += 16;
    }
#endif
    while (p < end && *p != a && *p != b)
        ++p;
    return p;
}

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

inline const char* find1(const char* p, const char* end, char a) {
    return find2(p, end, a, a);
}

void split_name(std::string_view name, std::string_view& prefix, std::string_view& local) {
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == ':') {
            prefix = name.substr(0, i);
            local = name.substr(i + 1);
            return;
        }
    }
    prefix = {};
    local = name;
}

int digit_value(char c, unsigned base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

// Whether a code point is a Char of XML 1.0: tab, line feed, carriage
// return, and everything from U+0020 on but the surrogates, U+FFFE and U+FFFF.
bool xml_char(uint32_t cp) {
    if (cp < 0x20) return cp == 0x9 || cp == 0xA || cp == 0xD;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF && cp <= 0x10FFFF;
}

// The number of a character reference: an optional '+', digits with '_'
// allowed between them; at most U+10FFFF.
std::optional<uint32_t> reference_number(std::string_view s, unsigned base) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() == '_' || s.back() == '_') return std::nullopt;
    uint32_t v = 0;
    for (char c : s) {
        if (c == '_') continue;
        const int d = digit_value(c, base);
        if (d < 0) return std::nullopt;
        v = v * base + static_cast<uint32_t>(d);
        if (v > 0x10FFFF) return std::nullopt;
    }
    return v;
}

// The UTF-8 encoding of a code point at out: its length (1 to 4).
size_t encode_utf8(uint32_t cp, char* out) {
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

// The references a stream is full of, read whole from the input: the bytes
// they take (';' included) and their byte, or 0 when it takes the slow way.
size_t common_entity(const char* p, const char* end, char& byte) {
    const size_t left = static_cast<size_t>(end - p);
    if (left >= 4 && std::memcmp(p, "amp;", 4) == 0) {
        byte = '&';
        return 4;
    }
    if (left >= 3 && p[1] == 't' && p[2] == ';' && (p[0] == 'l' || p[0] == 'g')) {
        byte = p[0] == 'l' ? '<' : '>';
        return 3;
    }
    if (left >= 5 && (std::memcmp(p, "quot;", 5) == 0 || std::memcmp(p, "apos;", 5) == 0)) {
        byte = p[0] == 'q' ? '"' : '\'';
        return 5;
    }
    return 0;
}

}  // namespace

std::optional<std::string_view> XmlElement::attribute(std::string_view qname) const {
    for (size_t i = attributes.size(); i > 0; --i) {
        if (attributes[i - 1].name == qname) return attributes[i - 1].value;
    }
    return std::nullopt;
}

Result<const XmlEvent*> XmlParser::next_event(std::string_view input, size_t& pos) {
    if (failed_) return error_;
    if (pos > input.size()) pos = input.size();
    auto r = run(input, pos);
    if (!r) {
        failed_ = true;
        error_ = r.error();
    }
    const size_t used = memory_in_use();
    if (used > peak_) peak_ = used;
    return r;
}

size_t XmlParser::memory_in_use() const {
    return arena_.capacity() + attrs_.capacity_bytes() + decls_.capacity_bytes();
}

void XmlParser::reset() {
    failed_ = false;
    arena_.rewind({});
    attrs_.clear();
    decls_.clear();
    top_mark_ = {};
    name_ = attr_name_ = {};
    top_prefix_count_ = child_prefix_count_ = default_count_ = 0;
    state_ = State::content;
    quote_ = '"';
    slash_ = stream_open_ = reclaim_ = false;
    entity_len_ = dashes_ = markup_ = 0;
    utf8_need_ = 0;
    checked_ = false;
    pending_len_ = 0;
    depth_ = 0;
    skipped_ = 0;
}

// Records count against kMaxHeld together with the arena.
template <class T>
bool XmlParser::push_record(detail::PodList<T>& list, const T& v) {
    if (list.size() < list.capacity()) return list.push(v, SIZE_MAX);
    const bool ok = list.push(v, kMaxHeld - memory_in_use() + list.capacity_bytes());
    arena_.set_limit(kMaxHeld - attrs_.capacity_bytes() - decls_.capacity_bytes());
    return ok;
}

void XmlParser::reclaim_top_level() {
    arena_.rewind({});
    top_mark_ = {};
    top_prefix_count_ = child_prefix_count_ = default_count_ = 0;
}

bool XmlParser::complete_attribute() {
    const std::string_view value = arena_.commit();
    const std::string_view name = attr_name_;
    constexpr std::string_view kXmlns = "xmlns";
    if (name.size() >= kXmlns.size() && name.substr(0, kXmlns.size()) == kXmlns &&
        (name.size() == kXmlns.size() || name[kXmlns.size()] == ':')) {
        const std::string_view prefix =
            name.size() == kXmlns.size() ? std::string_view{} : name.substr(kXmlns.size() + 1);
        const XmlNamespaceDecl decl{prefix, value};
        if (!push_record(decls_, decl)) return false;
        const uint32_t level = depth_ + 1;
        if (prefix.empty())
            declare_default(value, level);
        else
            declare_prefix(prefix, value, level);
        return true;
    }
    XmlAttribute a{name, value, {}, {}};
    split_name(name, a.prefix, a.local);
    return push_record(attrs_, a);
}

void XmlParser::declare_default(std::string_view uri, uint32_t level) {
    if (default_count_ > 0 && defaults_[default_count_ - 1].level == level) {
        defaults_[default_count_ - 1].uri = uri;  // declared again on the same element
        return;
    }
    if (default_count_ < kScopeTableSize) defaults_[default_count_++] = DefaultScope{uri, level};
}

void XmlParser::declare_prefix(std::string_view prefix, std::string_view uri, uint32_t level) {
    if (level == 1) {
        if (top_prefix_count_ < kPrefixTableSize)
            top_prefixes_[top_prefix_count_++] = PrefixBinding{prefix, uri, level};
        return;
    }
    for (size_t i = child_prefix_count_; i > 0; --i) {
        const PrefixBinding& b = child_prefixes_[i - 1];
        if (b.level != level) break;
        if (b.prefix == prefix) return;  // the first binding on an element wins
    }
    if (child_prefix_count_ < kPrefixTableSize)
        child_prefixes_[child_prefix_count_++] = PrefixBinding{prefix, uri, level};
}

// Ends the declarations of the element at `level` and of anything deeper.
void XmlParser::unwind(uint32_t level) {
    while (child_prefix_count_ > 0 && child_prefixes_[child_prefix_count_ - 1].level >= level)
        --child_prefix_count_;
    while (default_count_ > 0 && defaults_[default_count_ - 1].level >= level)
        --default_count_;
}

std::string_view XmlParser::resolve(std::string_view prefix) const {
    if (prefix.empty()) return default_count_ > 0 ? defaults_[default_count_ - 1].uri : "";
    for (size_t i = child_prefix_count_; i > 0; --i) {
        if (child_prefixes_[i - 1].prefix == prefix) return child_prefixes_[i - 1].uri;
    }
    for (size_t i = 0; i < top_prefix_count_; ++i) {
        if (top_prefixes_[i].prefix == prefix) return top_prefixes_[i].uri;
    }
    return {};
}

// A copy of the records in the arena, for an event to hand out.
template <class T>
static bool copy_records(detail::EventArena& arena, const detail::PodList<T>& list,
                         std::span<const T>& out) {
    out = {};
    if (list.size() == 0) return true;
    void* p = arena.allocate(list.size() * sizeof(T), alignof(T));
    if (p == nullptr) return false;
    std::memcpy(p, static_cast<const void*>(list.data()), list.size() * sizeof(T));
    out = std::span<const T>(static_cast<const T*>(p), list.size());
    return true;
}

// The '>' of a start tag; a pending slash makes it an empty-element tag.
bool XmlParser::finish_start_tag() {
    const bool self_closing = slash_;
    slash_ = false;
    state_ = State::content;
    XmlEvent& ev = event_;
    ev.name = ev.text = {};
    XmlElement& e = ev.element;
    ++depth_;
    e.name = name_;
    split_name(e.name, e.prefix, e.local);
    e.ns = resolve(e.prefix);
    if (!copy_records(arena_, attrs_, e.attributes)) return false;
    if (!copy_records(arena_, decls_, e.namespaces)) return false;
    e.self_closing = self_closing;
    const bool top = depth_ == 1;
    if (top && e.local == kStream && e.ns == kStreamsNamespace) {
        ev.kind = XmlEventKind::stream_open;
        if (top) stream_open_ = true;
    } else {
        ev.kind = XmlEventKind::element_start;
        if (self_closing) {
            unwind(depth_);
            --depth_;
        }
    }
    if (top) top_mark_ = arena_.mark();
    return true;
}

void XmlParser::finish_end_tag() {
    XmlEvent& ev = event_;
    ev.element = {};
    ev.text = {};
    ev.name = arena_.commit();
    // Only the end tag of the stream element itself closes the stream: the
    // element at depth 1, named by its namespace.
    std::string_view prefix, local;
    split_name(ev.name, prefix, local);
    const bool closes = depth_ == 1 && local == kStream && resolve(prefix) == kStreamsNamespace;
    if (depth_ > 0) {
        unwind(depth_);
        --depth_;
    }
    if (closes) {
        stream_open_ = false;
        ev.kind = XmlEventKind::stream_close;
        ev.name = {};
    } else {
        ev.kind = XmlEventKind::element_end;
    }
}

void XmlParser::text_event() {
    event_.kind = XmlEventKind::text;
    event_.element = {};
    event_.name = {};
    event_.text = arena_.commit();
}

size_t XmlParser::decode_entity(char* out) const {
    const std::string_view name(entity_, entity_len_);
    if (name == "amp") {
        out[0] = '&';
    } else if (name == "lt") {
        out[0] = '<';
    } else if (name == "gt") {
        out[0] = '>';
    } else if (name == "apos") {
        out[0] = '\'';
    } else if (name == "quot") {
        out[0] = '"';
    } else if (name.size() >= 2 && name[0] == '#') {
        std::optional<uint32_t> v;
        if (name[1] == 'x' || name[1] == 'X')
            v = reference_number(name.substr(2), 16);
        else
            v = reference_number(name.substr(1), 10);
        if (!v || !xml_char(*v)) return 0;
        return encode_utf8(*v, out);
    } else {
        return 0;
    }
    return 1;
}

// Runs of printable ASCII, the usual case, are skipped sixteen bytes at a
// time, and a whole sequence at once when it is there; the state machine
// carries a sequence cut by the end of the input over to the next one.
const char* XmlParser::check_chars(const char* from, const char* to) {
    const auto* p = reinterpret_cast<const unsigned char*>(from);
    const auto* const end = reinterpret_cast<const unsigned char*>(to);
    const auto bad = [&](const unsigned char* at) { return reinterpret_cast<const char*>(at); };
    while (utf8_need_ > 0 && p < end) {
        const unsigned char c = *p;
        if (c < utf8_low_ || c > utf8_high_) return bad(p);
        ++p;
        utf8_low_ = 0x80;
        utf8_high_ = 0xBF;
        utf8_cp_ = utf8_cp_ << 6 | (c & 0x3Fu);
        if (--utf8_need_ == 0 && (utf8_cp_ == 0xFFFE || utf8_cp_ == 0xFFFF)) return bad(p - 1);
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
        utf8_need_ = need;
        utf8_low_ = low;
        utf8_high_ = high;
        utf8_cp_ = c & (need == 1 ? 0x1Fu : need == 2 ? 0x0Fu : 0x07u);
        ++p;
        return check_chars(bad(p), to);
    }
}

const XmlEvent* XmlParser::deliver() {
    if (depth_ <= 1) reclaim_ = true;
    return &event_;
}

// The tokenizer. Each state scans as far as it can and jumps straight to the
// next one; the switch is taken once per call, to resume where the last call
// stopped. Every path out goes through `out`, which records the position.
Result<const XmlEvent*> XmlParser::run(std::string_view input, size_t& pos) {
    if (reclaim_) {
        reclaim_ = false;
        arena_.rewind(top_mark_);
    }
    const char* const begin = input.data();
    const char* const end = begin + input.size();
    const char* p = begin + pos;
    // The characters of an input are checked once, on the first call that
    // sees it; a bad one fails the call that consumes it.
    if (!checked_ || check_input_ != begin || check_size_ != input.size()) {
        checked_ = true;
        check_input_ = begin;
        check_size_ = input.size();
        bad_ = check_chars(p, end);
    }
    const XmlEvent* ev = nullptr;
    Error error = Error::Unexpected;
    char byte = 0;  // decoded by an entity reference
    // The bytes of a character reference that did not fit the last text chunk
    // begin the next one.
    for (size_t i = 0; i < pending_len_; ++i)
        if (!arena_.push_back(pending_[i])) goto out_of_memory;
    pending_len_ = 0;

    switch (state_) {
        case State::content:
            goto content;
        case State::tag_open:
            goto tag_open;
        case State::tag_name:
            goto tag_name;
        case State::in_tag:
            goto in_tag;
        case State::attr_name:
            goto attr_name;
        case State::before_value:
            goto before_value;
        case State::attr_value:
            goto attr_value;
        case State::end_tag:
            goto end_tag;
        case State::processing_instruction:
            goto processing_instruction;
        case State::markup_declaration:
            goto markup_declaration;
        case State::comment:
            goto comment;
        case State::text_entity:
        case State::attr_entity:
            goto entity;
    }

content : {
    state_ = State::content;
    if (p == end) goto out;
    const char* q = find2(p, end, '<', '&');
    if (q > p) {
        const size_t room = kTextChunk - arena_.open_size();
        const size_t n = static_cast<size_t>(q - p);
        if (!arena_.append(p, n < room ? n : room)) goto out_of_memory;
        if (n >= room) {
            p += room;
            text_event();
            ev = deliver();
            goto out;
        }
        p = q;
        if (p == end) goto out;
    }
    if (*p++ == '&') {
        state_ = State::text_entity;
        entity_len_ = 0;
        goto entity;
    }
    state_ = State::tag_open;
    if (arena_.open_size() > 0) {
        text_event();
        ev = deliver();
        goto out;
    }
}

tag_open : {
    if (p == end) goto out;
    const char c = *p++;
    if (c == '/') {
        state_ = State::end_tag;
        goto end_tag;
    }
    if (c == '!') {
        state_ = State::markup_declaration;
        markup_ = 0;
        goto markup_declaration;
    }
    if (c == '?') {
        state_ = State::processing_instruction;
        slash_ = false;
        skipped_ = 0;
        goto processing_instruction;
    }
    if (depth_ == 0) reclaim_top_level();
    slash_ = false;
    if (!arena_.push_back(c)) goto out_of_memory;
    state_ = State::tag_name;
}

tag_name : {
    const char* q = p;
    while (q < end && !is(*q, kNameEnd))
        ++q;
    if (q > p) {
        if (slash_) {
            slash_ = false;
            if (!append_item("/", 1)) goto out_of_memory;
        }
        if (!append_item(p, static_cast<size_t>(q - p))) goto out_of_memory;
        p = q;
    }
    if (p == end) goto out;
    const char c = *p++;
    if (c == '/') {
        slash_ = true;
        goto tag_name;
    }
    name_ = arena_.commit();
    attrs_.clear();
    decls_.clear();
    if (c == '>') goto start_tag_end;
    state_ = State::in_tag;
}

in_tag : {
    while (p < end && is(*p, kSpace))
        ++p;
    if (p == end) goto out;
    const char c = *p++;
    if (c == '>') goto start_tag_end;
    if (c == '/') {
        slash_ = true;
        goto in_tag;
    }
    slash_ = false;
    if (!arena_.push_back(c)) goto out_of_memory;
    state_ = State::attr_name;
}

attr_name : {
    const char* q = find1(p, end, '=');
    if (!append_item(p, static_cast<size_t>(q - p))) goto out_of_memory;
    p = q;
    if (p == end) goto out;
    ++p;
    attr_name_ = arena_.commit();
    state_ = State::before_value;
}

before_value : {
    while (p < end && *p != '"' && *p != '\'')
        ++p;
    if (p == end) goto out;
    quote_ = *p++;
    state_ = State::attr_value;
}

attr_value : {
    const char* q = find2(p, end, quote_, '&');
    if (!append_item(p, static_cast<size_t>(q - p))) goto out_of_memory;
    p = q;
    if (p == end) goto out;
    if (*p++ == '&') {
        state_ = State::attr_entity;
        entity_len_ = 0;
        goto entity;
    }
    if (!complete_attribute()) goto out_of_memory;
    state_ = State::in_tag;
    goto in_tag;
}

start_tag_end : {
    if (!finish_start_tag()) goto out_of_memory;
    ev = deliver();
    goto out;
}

end_tag : {
    const char* q = find1(p, end, '>');
    if (!append_item(p, static_cast<size_t>(q - p))) goto out_of_memory;
    p = q;
    if (p == end) goto out;
    ++p;
    state_ = State::content;
    finish_end_tag();
    ev = deliver();
    goto out;
}

processing_instruction:
    while (p < end) {
        const char c = *p++;
        if (c == '>' && slash_) {
            slash_ = false;
            state_ = State::content;
            event_ = XmlEvent{};
            ev = deliver();
            goto out;
        }
        slash_ = c == '?';
        if (++skipped_ > kMaxItem) goto out_of_memory;
    }
    goto out;

markup_declaration : {
    if (p == end) goto out;
    const char c = *p++;
    if (markup_ == 0) {
        markup_ = c == '-' ? 1 : 2;
        goto markup_declaration;
    }
    if (markup_ != 1 || c != '-') {
        error = Error::ForbiddenXmlConstruct;
        goto fail;
    }
    state_ = State::comment;
    dashes_ = 0;
    skipped_ = 0;
}

comment:
    while (p < end) {
        const char c = *p++;
        if (c == '>' && dashes_ == 2) goto content;
        if (c == '-')
            dashes_ = dashes_ < 2 ? dashes_ + 1 : 2;
        else
            dashes_ = 0;
        if (++skipped_ > kMaxItem) goto out_of_memory;
    }
    goto out;

entity : {
    if (entity_len_ == 0) {
        const size_t used = common_entity(p, end, byte);
        if (used > 0) {
            p += used;
            goto entity_byte;
        }
    }
    while (p < end && *p != ';') {
        if (entity_len_ == kMaxEntityName) {
            error = Error::InvalidEntityReference;
            goto fail;
        }
        entity_[entity_len_++] = *p++;
    }
    if (p == end) goto out;
    ++p;
    char decoded[4];
    const size_t n = decode_entity(decoded);
    if (n == 0) {
        error = Error::InvalidEntityReference;
        goto fail;
    }
    byte = decoded[0];
    if (n == 1) goto entity_byte;
    for (size_t i = 0; i < n; ++i) {
        if (state_ == State::attr_entity) {
            if (!append_item(decoded + i, 1)) goto out_of_memory;
        } else if (arena_.open_size() < kTextChunk) {
            if (!arena_.push_back(decoded[i])) goto out_of_memory;
        } else {
            pending_[pending_len_++] = decoded[i];  // the text chunk is full
        }
    }
    if (state_ == State::attr_entity) {
        state_ = State::attr_value;
        goto attr_value;
    }
    goto text_chunk;
}

entity_byte:
    if (state_ == State::attr_entity) {
        if (!append_item(&byte, 1)) goto out_of_memory;
        state_ = State::attr_value;
        goto attr_value;
    }
    if (!arena_.push_back(byte)) goto out_of_memory;
text_chunk:
    if (arena_.open_size() < kTextChunk) goto content;
    state_ = State::content;
    text_event();
    ev = deliver();
    goto out;

out:
    pos = static_cast<size_t>(p - begin);
    // A bad character fails the call that consumes it, whatever else the
    // call found.
    if (bad_ != nullptr && p > bad_) return Error::InvalidCharacter;
    if (ev == nullptr) checked_ = false;  // the next call brings new input
    return ev;
out_of_memory:
    error = Error::OutOfMemory;
fail:
    pos = static_cast<size_t>(p - begin);
    if (bad_ != nullptr && p > bad_) return Error::InvalidCharacter;
    return error;
}

}  // namespace fenra::xmpp
