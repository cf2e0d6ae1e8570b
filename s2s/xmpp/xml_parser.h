// Incremental XML stream parser: one per S2S connection. Bytes go in as they
// arrive, cut anywhere; events come out one per call:
//
//     size_t pos = 0;
//     for (;;) {
//         auto r = parser.next_event(chunk, pos);
//         if (!r) return fail(r.error());   // the stream is over
//         if (*r == nullptr) break;         // chunk consumed, wait for more bytes
//         handle(**r);
//     }
//
// The parser is lenient: it does not match end tags against start tags and
// does not check names, and rejects only "<!" other than a comment
// (ForbiddenXmlConstruct), bad entity references (InvalidEntityReference),
// bytes that are not UTF-8 or encode a character XML does not allow (NUL and
// the other controls but tab, line feed and carriage return, surrogates,
// U+FFFE, U+FFFF: InvalidCharacter), and items beyond the size limits below
// (OutOfMemory). Entity references are the five named ones and character
// references ("&#65;", "&#x20AC;"; an optional '+', '_' between digits) of
// any XML character, decoding to its UTF-8 bytes; a name is at most 9
// characters.
//
// The stream. Only the element at depth 0 named "stream" in the streams
// namespace is the stream header (stream_open), and only its own end tag,
// judged by namespace and not by prefix, closes it (stream_close). An element
// named "stream" anywhere else is an ordinary element.
//
// Lifetimes. Strings and attribute spans handed out in events point into the
// parser's own storage:
// - those of the top-level element (the stream header) stay valid until
//   reset() or the next top-level start tag;
// - those of events inside a child of the stream element (a stanza) stay valid
//   until next_event() is called after that child's end, that is after the
//   call that returned the event bringing the depth back to 1;
// - all others (text between stanzas, declarations, stream_close) stay valid
//   until the next call.
// Everything else is reclaimed at those points, so the memory of a parser
// stays flat over a stream of any length.
//
// Limits. A text run is delivered in several text events once it reaches
// kTextChunk bytes. A name, attribute value, comment or processing
// instruction longer than kMaxItem bytes fails with OutOfMemory, and so does
// anything that would take the parser's memory past kMaxHeld bytes (a stanza
// whose strings, held until it ends, do not fit).
//
// Namespaces. An element without prefix gets the default namespace in scope,
// one with a prefix the namespace bound to it (so "stream:stream" is in the
// streams namespace), or none. Prefix bindings made on the top-level element
// (up to 16) hold until reset() or the next top-level start tag; the first
// binding of a prefix wins. Bindings made inside a child end with the element
// that declares them and shadow the top-level ones (up to 16 at once).
// Default-namespace declarations are scoped to their element (up to 16
// nested). Declarations beyond these tables are ignored for resolution but
// still reported in XmlElement::namespaces. Attributes get no namespace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/result.h"
#include "s2s/xmpp/xml_chars.h"

namespace fenra::xmpp {

// An ordinary attribute; namespace declarations are not attributes.
struct XmlAttribute {
    std::string_view name;    // qualified name as written
    std::string_view value;   // entities decoded
    std::string_view prefix;  // before the first ':', empty if none
    std::string_view local;   // after the first ':', or the whole name
};

// A namespace declaration as written on an element: prefix empty for the
// default namespace (xmlns='...' and a bare xmlns:='...').
struct XmlNamespaceDecl {
    std::string_view prefix;
    std::string_view uri;
};

struct XmlElement {
    std::string_view name;    // qualified name as written, e.g. "db:result"
    std::string_view prefix;  // before the first ':', empty if none
    std::string_view local;   // after the first ':', or the whole name
    std::string_view ns;      // resolved namespace URI, empty if none
    std::span<const XmlAttribute> attributes;
    std::span<const XmlNamespaceDecl> namespaces;  // in the order written
    bool self_closing = false;                     // the tag ended with "/>"

    // Value of the last attribute with this qualified name.
    std::optional<std::string_view> attribute(std::string_view qname) const;
};

enum class XmlEventKind : uint8_t {
    stream_open,    // element: the stream header
    stream_close,   // the stream header's end tag
    element_start,  // element
    element_end,    // name: the qualified name as written, blanks kept
    text,           // text: decoded, never empty
    declaration,    // "<?...?>"
};

struct XmlEvent {
    XmlEventKind kind = XmlEventKind::declaration;
    XmlElement element;
    std::string_view name;
    std::string_view text;
};

namespace detail {

// A malloc'd array of trivially copyable records that reports failure to grow.
template <class T>
class PodList {
  public:
    PodList() = default;
    PodList(const PodList&) = delete;
    PodList& operator=(const PodList&) = delete;
    ~PodList() { release(); }

    // Appends v unless the array would pass max_bytes or cannot grow.
    bool push(const T& v, size_t max_bytes) {
        if (size_ == cap_ && !grow(max_bytes)) return false;
        data_[size_++] = v;
        return true;
    }
    void truncate(size_t n) { size_ = n; }
    void clear() { size_ = 0; }
    void release() {
        std::free(static_cast<void*>(data_));
        data_ = nullptr;
        size_ = cap_ = 0;
    }
    size_t size() const { return size_; }
    size_t capacity() const { return cap_; }
    size_t capacity_bytes() const { return cap_ * sizeof(T); }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

  private:
    bool grow(size_t max_bytes) {
        size_t n = cap_ > 0 ? cap_ * 2 : 8;
        if (n > max_bytes / sizeof(T)) n = max_bytes / sizeof(T);
        if (n <= size_) return false;
        void* d = std::realloc(static_cast<void*>(data_), n * sizeof(T));
        if (d == nullptr) return false;
        data_ = static_cast<T*>(d);
        cap_ = n;
        return true;
    }

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// Storage of event strings and attribute spans: a list of blocks that never
// move what they hand out. One string at a time may be "open" (still being
// collected) at the end of the current block.
class EventArena {
  public:
    struct Mark {
        size_t block = 0;
        size_t used = 0;
    };

    EventArena() = default;
    EventArena(const EventArena&) = delete;
    EventArena& operator=(const EventArena&) = delete;
    ~EventArena();

    // Appends to the open string.
    bool append(const char* p, size_t n) {
        if (n <= cap_ - end_) {
            copy(base_ + end_, p, n);
            end_ += n;
            return true;
        }
        return append_slow(p, n);
    }
    bool push_back(char c) { return append(&c, 1); }
    size_t open_size() const { return end_ - start_; }
    std::string_view open_view() const { return {base_ + start_, end_ - start_}; }
    // Closes the open string and returns it; a new empty one opens after it.
    std::string_view commit();
    // Forgets the open string.
    void drop_open() { end_ = start_; }
    // Space for n bytes aligned to `align`; there must be no open string.
    void* allocate(size_t n, size_t align);

    Mark mark() const;
    // Forgets everything after the mark, keeping a little capacity for reuse.
    void rewind(Mark m);
    void release();
    size_t capacity() const { return total_; }
    // Growth beyond this many bytes of blocks fails.
    void set_limit(size_t bytes) { limit_ = bytes; }

  private:
    struct Block {
        char* data;
        size_t size;
        size_t used;
    };

    static constexpr size_t kBlock = 16 * 1024;

    // memcpy, with the short copies that make up most of a stream inline.
    static void copy(char* d, const char* s, size_t n) {
        if (n > 16) {
            std::memcpy(d, s, n);
        } else if (n >= 8) {
            uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + n - 8, 8);
            std::memcpy(d, &a, 8);
            std::memcpy(d + n - 8, &b, 8);
        } else if (n >= 4) {
            uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + n - 4, 4);
            std::memcpy(d, &a, 4);
            std::memcpy(d + n - 4, &b, 4);
        } else if (n > 0) {
            d[0] = s[0];
            d[n / 2] = s[n / 2];
            d[n - 1] = s[n - 1];
        }
    }

    bool append_slow(const char* p, size_t n);
    bool next_block(size_t need);
    void load(size_t block);
    void store() {
        if (blocks_.size() > 0) blocks_[cur_].used = start_;
    }

    PodList<Block> blocks_;
    size_t cur_ = 0;
    char* base_ = nullptr;  // data of the current block
    size_t cap_ = 0;        // its size
    size_t start_ = 0;      // start of the open string (= committed bytes of the block)
    size_t end_ = 0;        // end of the open string
    size_t total_ = 0;      // bytes of every block
    size_t limit_ = SIZE_MAX;
};

}  // namespace detail

class XmlParser {
  public:
    static constexpr size_t kTextChunk = 16 * 1024;
    static constexpr size_t kMaxItem = 64 * 1024;
    static constexpr size_t kMaxHeld = 1024 * 1024;
    static constexpr size_t kMaxEntityName = 9;
    static constexpr size_t kPrefixTableSize = 16;
    static constexpr size_t kScopeTableSize = 16;

    XmlParser() { arena_.set_limit(kMaxHeld); }
    XmlParser(const XmlParser&) = delete;
    XmlParser& operator=(const XmlParser&) = delete;
    ~XmlParser() = default;

    // Consumes input from `pos` until one event is complete, the input is
    // exhausted (nullptr; everything consumed is kept for the next call), or
    // an error. After an error the stream is over: every later call returns
    // the same error, consuming nothing, until reset(). The event itself is
    // overwritten by the next call; its strings live as described above.
    // Until a call returns nullptr (or reset()), the caller passes the same
    // input again, with pos where the last call left it.
    Result<const XmlEvent*> next_event(std::string_view input, size_t& pos);

    // Back to the initial state, as for a new stream; keeps some capacity.
    void reset();

    // Open elements, the stream element included.
    uint32_t depth() const { return depth_; }
    bool stream_is_open() const { return stream_open_; }
    // Heap bytes held by this parser now (never above kMaxHeld), and the most
    // it has held at the end of any next_event() call.
    size_t memory_in_use() const;
    size_t memory_peak() const { return peak_; }

  private:
    enum class State : uint8_t {
        content,
        tag_open,
        tag_name,
        in_tag,
        attr_name,
        before_value,
        attr_value,
        end_tag,
        processing_instruction,
        markup_declaration,
        comment,
        text_entity,
        attr_entity,
    };

    struct PrefixBinding {
        std::string_view prefix;
        std::string_view uri;
        uint32_t level;
    };
    struct DefaultScope {
        std::string_view uri;
        uint32_t level;
    };

    Result<const XmlEvent*> run(std::string_view input, size_t& pos);
    const XmlEvent* deliver();
    // Appends to the item being collected, within kMaxItem.
    bool append_item(const char* p, size_t n) {
        return arena_.open_size() + n <= kMaxItem && arena_.append(p, n);
    }
    template <class T>
    bool push_record(detail::PodList<T>& list, const T& v);
    bool complete_attribute();
    // The bytes of the entity reference just read, written at out (room for
    // 4): their count, 0 for a reference that is not allowed.
    size_t decode_entity(char* out) const;

    bool finish_start_tag();
    void finish_end_tag();
    void text_event();
    void declare_prefix(std::string_view prefix, std::string_view uri, uint32_t level);
    void declare_default(std::string_view uri, uint32_t level);
    void unwind(uint32_t level);
    std::string_view resolve(std::string_view prefix) const;
    void reclaim_top_level();

    XmlEvent event_;
    detail::EventArena arena_;
    detail::PodList<XmlAttribute> attrs_;
    detail::PodList<XmlNamespaceDecl> decls_;
    detail::EventArena::Mark top_mark_;

    // The element whose tag is being read.
    std::string_view name_;
    std::string_view attr_name_;

    PrefixBinding top_prefixes_[kPrefixTableSize];
    PrefixBinding child_prefixes_[kPrefixTableSize];
    DefaultScope defaults_[kScopeTableSize];
    uint8_t top_prefix_count_ = 0;
    uint8_t child_prefix_count_ = 0;
    uint8_t default_count_ = 0;

    State state_ = State::content;
    char quote_ = '"';
    bool slash_ = false;
    bool stream_open_ = false;
    bool failed_ = false;
    Error error_ = Error::Unexpected;
    bool reclaim_ = false;
    uint8_t entity_len_ = 0;
    uint8_t dashes_ = 0;  // trailing '-' seen in a comment (0..2)
    uint8_t markup_ = 0;  // characters read after "<!" (0..2)
    char entity_[kMaxEntityName + 1] = {};
    char pending_[4] = {};  // see run()
    uint8_t pending_len_ = 0;
    XmlCharChecker chars_;
    // The input whose characters are checked, and its first bad byte.
    bool checked_ = false;
    const char* check_input_ = nullptr;
    size_t check_size_ = 0;
    const char* bad_ = nullptr;
    uint32_t depth_ = 0;
    size_t skipped_ = 0;  // length of the comment or instruction being skipped
    size_t peak_ = 0;
};

}  // namespace fenra::xmpp
