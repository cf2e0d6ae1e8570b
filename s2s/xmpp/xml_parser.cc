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
    chars_.reset();
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
        bad_ = chars_.check(p, end);
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
