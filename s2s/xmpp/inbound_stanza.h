// Stanza collection on an established inbound stream: each message, presence
// and iq is collected from the parser's events into the session's
// StanzaCollector and rebuilt as a stand-alone element (the header bindings
// it relies on declared on it, every value escaped), then handed to the core
// when its from is authenticated and its to is ours.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

class InboundHost;
struct InboundSession;

// The stanza being collected: the kept fields and the element's content.
inline constexpr size_t kStanzaNameMax = 32;
inline constexpr size_t kStanzaAddressMax = 512;  // from and to
inline constexpr size_t kStanzaTypeMax = 32;
inline constexpr size_t kStanzaIdMax = 128;
// xml:lang and the namespace declarations of the stanza element, escaped.
inline constexpr size_t kStanzaHeadSize = 4096;
// Element nesting kept inside one stanza, and attributes and declarations
// on one element.
inline constexpr size_t kStanzaNesting = 64;
inline constexpr size_t kElementAttributes = 64;
inline constexpr size_t kElementDeclarations = 16;
// Prefix bindings of the peer's stream header that a stanza may rely on.
inline constexpr size_t kHeaderBindings = 16;
inline constexpr size_t kHeaderBindingStore = 2048;
// The largest stanza limit; the content and a rebuilt stanza never exceed the
// session's limit.
inline constexpr size_t kRebuildSize = 65535;

// Up to N bytes of text.
template <size_t N>
struct Bounded {
    char data[N];
    size_t len = 0;

    static constexpr size_t capacity() { return N; }
    // Keeps the first N bytes of s; false when s was longer.
    bool assign(std::string_view s) {
        len = 0;
        return append(s);
    }
    bool append(std::string_view s) {
        const size_t room = N - len;
        const size_t n = s.size() < room ? s.size() : room;
        if (n > 0) __builtin_memcpy(data + len, s.data(), n);
        len += n;
        return n == s.size();
    }
    void clear() { len = 0; }
    bool empty() const { return len == 0; }
    std::string_view view() const { return {data, len}; }
};

// The same over a heap buffer whose size the session sets once.
struct StanzaText {
    std::unique_ptr<char[]> storage;
    char* data = nullptr;
    size_t cap = 0;
    size_t len = 0;

    // False (and no buffer) without memory.
    bool allocate(size_t n) {
        storage.reset(new (std::nothrow) char[n]);
        data = storage.get();
        cap = data ? n : 0;
        return data != nullptr;
    }
    size_t capacity() const { return cap; }
    bool append(std::string_view s) {
        if (s.size() > cap - len) {
            len = cap;
            return false;
        }
        if (!s.empty()) __builtin_memcpy(data + len, s.data(), s.size());
        len += s.size();
        return true;
    }
    void clear() { len = 0; }
    bool empty() const { return len == 0; }
    std::string_view view() const { return {data, len}; }
};

// A prefix binding of the peer's stream header (offsets into the store).
struct HeaderBinding {
    uint16_t prefix_at, prefix_len;
    uint16_t uri_at, uri_len;
};

// The stanza being collected.
struct StanzaCollector {
    // too_large: a field or the nesting; over_limit: the stanza's size.
    enum class Fault : uint8_t { none, too_large, over_limit, malformed };
    struct Open {
        uint16_t name_at;  // the element's name inside content
        uint16_t name_len;
    };

    bool active = false;
    Fault fault = Fault::none;
    bool self_closing = false;
    uint32_t level = 0;        // nesting level of the stanza element (2: a child of the stream)
    uint16_t header_used = 0;  // bit i: header binding i is used inside the stanza
    uint8_t own_prefixes = 0;  // prefixes declared on the stanza element itself
    uint8_t open_count = 0;    // elements open inside the stanza
    uint8_t declared_count = 0;
    Bounded<kStanzaNameMax> name;
    Bounded<kStanzaAddressMax> from;
    Bounded<kStanzaAddressMax> to;
    Bounded<kStanzaTypeMax> type;
    Bounded<kStanzaIdMax> id;
    bool has_type = false;
    bool has_id = false;
    Open own[kElementDeclarations];  // prefixes of own declarations, inside head
    Open open[kStanzaNesting];
    // Prefixes declared by the elements open inside the stanza (inside content),
    // each with the open_count of its element.
    struct Declared {
        uint16_t at;
        uint16_t len;
        uint8_t level;
    };
    Declared declared[kStanzaNesting];
    Bounded<kStanzaHeadSize> head;
    StanzaText content;  // the session's limit

    void reset();
    void fail(Fault f) {
        if (fault == Fault::none) fault = f;
    }
};

bool is_stanza_name(std::string_view local);
// A stanza element at LEVEL starts (a self-closing one completes at once).
void start_stanza(InboundHost& host, InboundSession& s, const xmpp::XmlElement& e, uint32_t level);
void stanza_child_start(InboundSession& s, const xmpp::XmlElement& e);
void stanza_child_end(StanzaCollector& st);
void stanza_text(StanzaCollector& st, std::string_view text);
// The stanza element ended: forwarded, or dropped with a warning.
void complete_stanza(InboundHost& host, InboundSession& s);
// The stanza that waits for a core, rebuilt and offered again: false while
// it still waits.
bool offer_stanza_again(InboundHost& host, InboundSession& s);

}  // namespace fenra::s2s
