#include "s2s/xmpp/inbound_stanza.h"

#include <cstring>
#include <optional>

#include "runtime/log.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/xmpp/inbound_session.h"

namespace fenra::s2s {
namespace {

using xmpp::XmlElement;

// Bytes that never appear in a name we write back: blanks and controls, the
// markup characters and the quote characters.
struct NameBytes {
    bool ok[256];
    constexpr NameBytes() : ok() {
        for (int c = 0; c < 256; ++c)
            ok[c] = c > 0x20 && c != 0x7f;
        for (unsigned char c : std::string_view("<>'\"&=/"))
            ok[c] = false;
    }
};
constexpr NameBytes kNameBytes;

// A qualified name (a local name, or prefix ':' local name) of bytes we can
// write back; with WHOLE_PREFIX, a prefix alone (no ':' at all).
bool name_ok(std::string_view name, bool whole_prefix) {
    size_t colon = 0;
    size_t colons = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!kNameBytes.ok[c]) return false;
        if (c == ':') {
            colon = i;
            ++colons;
        }
    }
    if (name.empty() || colons > (whole_prefix ? 0u : 1u)) return false;
    if (whole_prefix) return name != "xmlns";
    return colons == 0 ||
           (colon > 0 && colon + 1 < name.size() && name.substr(0, colon) != "xmlns");
}

bool qname_ok(std::string_view name) {
    return name_ok(name, false);
}

// A prefix of a namespace declaration.
bool prefix_ok(std::string_view p) {
    return name_ok(p, true);
}

// IN escaped at the start of OUT: its length, or SIZE_MAX when it does not
// fit.
size_t escape(std::span<char> out, std::string_view in) {
    const auto n = xmpp::xml_escape(out, in);
    return n ? *n : SIZE_MAX;
}

template <class Text>
bool append_escaped(Text& b, std::string_view s) {
    const size_t n = escape({b.data + b.len, b.capacity() - b.len}, s);
    if (n == SIZE_MAX) {
        b.len = b.capacity();
        return false;
    }
    b.len += n;
    return true;
}

// A bounded writer over a caller's buffer; a text that does not fit marks it
// failed.
struct Writer {
    char* p;
    size_t cap;
    size_t n = 0;
    bool ok = true;

    void put(std::string_view s) {
        if (!ok || s.size() > cap - n) {
            ok = false;
            return;
        }
        std::memcpy(p + n, s.data(), s.size());
        n += s.size();
    }
    void put_escaped(std::string_view s) {
        if (!ok) return;
        const size_t r = escape({p + n, cap - n}, s);
        if (r == SIZE_MAX) {
            ok = false;
            return;
        }
        n += r;
    }
    std::string_view text() const { return {p, n}; }
};

}  // namespace

bool is_stanza_name(std::string_view local) {
    return local == "message" || local == "presence" || local == "iq";
}

std::string_view own_prefix(const StanzaCollector& st, size_t i) {
    return {st.head.data + st.own[i].name_at, st.own[i].name_len};
}

std::string_view binding_prefix(const InboundSession& s, const HeaderBinding& b) {
    return {s.header_store.data + b.prefix_at, b.prefix_len};
}

std::string_view binding_uri(const InboundSession& s, const HeaderBinding& b) {
    return {s.header_store.data + b.uri_at, b.uri_len};
}

// A prefix used by element E of the stanza must be declared on E, on an
// element around it inside the stanza, or on the peer's stream header; in the
// last case the rebuilt stanza declares it on its own element. A prefix bound
// nowhere makes the stanza malformed.
void note_prefix(InboundSession& s, const XmlElement& e, std::string_view prefix) {
    if (prefix.empty() || prefix == "xml") return;
    StanzaCollector& st = s.stanza;
    for (const auto& d : e.namespaces)
        if (d.prefix == prefix) return;
    for (size_t i = 0; i < st.declared_count; ++i) {
        const auto& d = st.declared[i];
        if (std::string_view(st.content.data + d.at, d.len) == prefix) return;
    }
    for (size_t i = 0; i < st.own_prefixes; ++i)
        if (own_prefix(st, i) == prefix) return;
    for (size_t i = 0; i < s.header_binding_count; ++i) {
        if (binding_prefix(s, s.header_bindings[i]) == prefix) {
            st.header_used = static_cast<uint16_t>(st.header_used | (1u << i));
            return;
        }
    }
    st.fail(StanzaCollector::Fault::malformed);
}

// The namespace declarations of an element: prefixes writable as they are,
// none declared twice, a bounded count.
bool declarations_ok(const XmlElement& e) {
    if (e.namespaces.size() > kElementDeclarations) return false;
    for (size_t i = 0; i < e.namespaces.size(); ++i) {
        const auto& d = e.namespaces[i];
        if (!d.prefix.empty() && !prefix_ok(d.prefix)) return false;
        for (size_t j = 0; j < i; ++j)
            if (e.namespaces[j].prefix == d.prefix) return false;
    }
    return true;
}

// The same for the attributes too, which are written back as they came.
bool element_parts_ok(const XmlElement& e) {
    if (e.attributes.size() > kElementAttributes || !declarations_ok(e)) return false;
    for (size_t i = 0; i < e.attributes.size(); ++i) {
        if (!qname_ok(e.attributes[i].name)) return false;
        for (size_t j = 0; j < i; ++j)
            if (e.attributes[j].name == e.attributes[i].name) return false;
    }
    return true;
}

template <class Text>
bool append_declaration(Text& b, const xmpp::XmlNamespaceDecl& d) {
    bool ok = b.append(d.prefix.empty() ? " xmlns='" : " xmlns:");
    if (!d.prefix.empty()) ok = ok && b.append(d.prefix) && b.append("='");
    return ok && append_escaped(b, d.uri) && b.append("'");
}

// An element inside the stanza goes into the content as it was written, with
// its namespace declarations; its end tag is written from our own record.
void stanza_child_start(InboundSession& s, const XmlElement& e) {
    StanzaCollector& st = s.stanza;
    if (st.fault != StanzaCollector::Fault::none) return;
    if (!qname_ok(e.name) || !element_parts_ok(e)) {
        st.fail(StanzaCollector::Fault::malformed);
        return;
    }
    note_prefix(s, e, e.prefix);
    for (const auto& a : e.attributes)
        note_prefix(s, e, a.prefix);
    auto& c = st.content;
    const size_t name_at = c.len + 1;
    bool ok = c.append("<") && c.append(e.name);
    StanzaCollector::Open decls[kElementDeclarations];
    size_t decl_count = 0;
    for (const auto& d : e.namespaces) {
        if (!d.prefix.empty())
            decls[decl_count++] = {static_cast<uint16_t>(c.len + 7),  // after " xmlns:"
                                   static_cast<uint16_t>(d.prefix.size())};
        ok = ok && append_declaration(c, d);
    }
    for (const auto& a : e.attributes) {
        ok = ok && c.append(" ") && c.append(a.name) && c.append("='") &&
             append_escaped(c, a.value) && c.append("'");
    }
    ok = ok && c.append(e.self_closing ? "/>" : ">");
    if (!ok) {
        st.fail(StanzaCollector::Fault::over_limit);
        return;
    }
    if (e.self_closing) return;
    if (st.open_count == kStanzaNesting || st.declared_count + decl_count > kStanzaNesting) {
        st.fail(StanzaCollector::Fault::too_large);
        return;
    }
    st.open[st.open_count++] = {static_cast<uint16_t>(name_at),
                                static_cast<uint16_t>(e.name.size())};
    // The element's prefixes are in scope until it ends.
    for (size_t i = 0; i < decl_count; ++i)
        st.declared[st.declared_count++] = {decls[i].name_at, decls[i].name_len, st.open_count};
}

void stanza_child_end(StanzaCollector& st) {
    if (st.fault != StanzaCollector::Fault::none || st.open_count == 0) return;
    while (st.declared_count > 0 && st.declared[st.declared_count - 1].level == st.open_count)
        --st.declared_count;
    const StanzaCollector::Open o = st.open[--st.open_count];
    auto& c = st.content;
    // The name lies before the end of the content, so the copy never overlaps.
    if (!(c.append("</") && c.append({c.data + o.name_at, o.name_len}) && c.append(">")))
        st.fail(StanzaCollector::Fault::over_limit);
}

void stanza_text(StanzaCollector& st, std::string_view text) {
    if (st.fault != StanzaCollector::Fault::none) return;
    if (!append_escaped(st.content, text)) st.fail(StanzaCollector::Fault::over_limit);
}

// The stanza as a stand-alone element: its name, from, to, type and id
// (escaped), xml:lang and its own declarations, the declarations of header
// prefixes it uses, then its content.
std::string_view rebuild(const InboundSession& s, std::span<char> buf) {
    const StanzaCollector& st = s.stanza;
    Writer w{buf.data(), buf.size()};
    w.put("<");
    w.put(st.name.view());
    w.put(" from='");
    w.put_escaped(st.from.view());
    w.put("' to='");
    w.put_escaped(st.to.view());
    w.put("'");
    if (st.has_type) {
        w.put(" type='");
        w.put_escaped(st.type.view());
        w.put("'");
    }
    if (st.has_id) {
        w.put(" id='");
        w.put_escaped(st.id.view());
        w.put("'");
    }
    w.put(st.head.view());
    for (size_t i = 0; i < s.header_binding_count; ++i) {
        if (!(st.header_used & (1u << i))) continue;
        w.put(" xmlns:");
        w.put(binding_prefix(s, s.header_bindings[i]));
        w.put("='");
        w.put_escaped(binding_uri(s, s.header_bindings[i]));
        w.put("'");
    }
    if (st.content.empty()) {
        w.put("/>");
    } else {
        w.put(">");
        w.put(st.content.view());
        w.put("</");
        w.put(st.name.view());
        w.put(">");
    }
    return w.ok ? w.text() : std::string_view{};
}

// One stanza is rebuilt at a time: it goes to a core at once, or stays
// collected while it waits for one and is rebuilt when offered again.
char rebuild_buffer[kRebuildSize];

// The rebuilt stanza offered to a core: false when it waits.
bool hand_over(InboundHost& host, InboundSession& s, std::string_view text) {
    const StanzaCollector& st = s.stanza;
    if (!host.inbound_forward(st.from.view(), st.to.view(), text)) {
        s.stanza_waiting = true;
        return false;
    }
    log::traffic(kLogScope, {"forwarding inbound ", st.name.view(), " from ", st.from.view(),
                             " to ", st.to.view()});
    return true;
}

void complete_stanza(InboundHost& host, InboundSession& s) {
    StanzaCollector& st = s.stanza;
    st.active = false;
    const std::string_view from = st.from.view();
    if (st.fault == StanzaCollector::Fault::over_limit) {
        refuse_oversized(s);
        return;
    }
    if (from.empty() || st.to.empty()) {
        log::warn(kLogScope, {"inbound stanza missing from/to, dropping"});
    } else if (st.fault == StanzaCollector::Fault::too_large) {
        log::warn(kLogScope, {"inbound stanza too large, dropping: from=", from});
    } else if (st.fault == StanzaCollector::Fault::malformed) {
        log::warn(kLogScope, {"inbound stanza malformed, dropping: from=", from});
    } else if (!s.authenticated(delivery_domain(from))) {
        log::warn(kLogScope, {"inbound stanza from unauthenticated domain, dropping: from=", from});
    } else if (!s.ours(delivery_domain(st.to.view()))) {
        log::warn(kLogScope, {"inbound stanza for a domain not ours, dropping: to=", st.to.view()});
    } else {
        const std::string_view text = rebuild(s, {rebuild_buffer, s.context.max_stanza});
        if (text.empty()) {
            refuse_oversized(s);
            return;
        }
        if (!hand_over(host, s, text)) return;  // kept whole until a core takes it
    }
    st.reset();
}

// A field of the stanza element, kept whole or the stanza is too large.
template <size_t N>
void keep_field(StanzaCollector& st, Bounded<N>& field, std::string_view value) {
    if (!field.assign(value)) st.fail(StanzaCollector::Fault::too_large);
}

void start_stanza(InboundHost& host, InboundSession& s, const XmlElement& e, uint32_t level) {
    StanzaCollector& st = s.stanza;
    st.reset();
    st.active = true;
    st.level = level;
    if (!st.name.assign(e.name)) st.fail(StanzaCollector::Fault::too_large);
    // Of the stanza element's attributes only fixed names are written back.
    if (!qname_ok(e.name) || !declarations_ok(e)) st.fail(StanzaCollector::Fault::malformed);
    // One pass over the attributes; a repeated one counts with its last value.
    std::optional<std::string_view> lang;
    for (const auto& a : e.attributes) {
        if (a.name == "from") {
            keep_field(st, st.from, a.value);
        } else if (a.name == "to") {
            keep_field(st, st.to, a.value);
        } else if (a.name == "type") {
            keep_field(st, st.type, a.value);
            st.has_type = true;
        } else if (a.name == "id") {
            keep_field(st, st.id, a.value);
            st.has_id = true;
        } else if (a.name == "xml:lang") {
            lang = a.value;
        }
    }
    bool ok = true;
    if (lang)
        ok = st.head.append(" xml:lang='") && append_escaped(st.head, *lang) && st.head.append("'");
    if (st.fault == StanzaCollector::Fault::none) {
        for (const auto& d : e.namespaces) {
            const size_t at = st.head.len + 7;  // after " xmlns:"
            ok = ok && append_declaration(st.head, d);
            if (ok && !d.prefix.empty())
                st.own[st.own_prefixes++] = {static_cast<uint16_t>(at),
                                             static_cast<uint16_t>(d.prefix.size())};
        }
        note_prefix(s, e, e.prefix);
    }
    if (!ok) st.fail(StanzaCollector::Fault::too_large);
    if (e.self_closing) complete_stanza(host, s);
}

bool offer_stanza_again(InboundHost& host, InboundSession& s) {
    return hand_over(host, s, rebuild(s, {rebuild_buffer, s.context.max_stanza}));
}

}  // namespace fenra::s2s
