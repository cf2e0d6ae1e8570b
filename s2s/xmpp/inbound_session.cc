#include "s2s/xmpp/inbound_session.h"

#include <stdlib.h>

#include <charconv>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/log.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/server.h"
#include "s2s/xmpp/dialback_key.h"

namespace fenra::s2s {
namespace {

using xmpp::XmlElement;
using xmpp::XmlEvent;
using xmpp::XmlEventKind;

using Dialback = xmpp::DialbackElement;

// Whether DOMAIN (of an address, a header or a dialback element) is ours;
// domains compare without regard to ASCII case.
bool ours(const InboundSession& s, std::string_view domain) {
    const std::string_view local = s.context.local_domain;
    if (domain.size() != local.size()) return false;
    for (size_t i = 0; i < domain.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        if (lower(domain[i]) != lower(local[i])) return false;
    }
    return true;
}

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

// The nesting level of an element: the parser's depth while it is open.
uint32_t level_of(const xmpp::XmlParser& parser, const XmlElement& e) {
    return parser.depth() + (e.self_closing ? 1 : 0);
}

// The length of the run at the start of IN that needs no escaping.
size_t plain_run(std::string_view in) {
    const char* p = in.data();
    const size_t n = in.size();
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i quot = _mm_set1_epi8('"');
    const __m128i apos = _mm_set1_epi8('\'');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i gt = _mm_set1_epi8('>');
    const auto first_special = [&](__m128i v) {
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quot), _mm_cmpeq_epi8(v, apos)),
                         _mm_or_si128(_mm_cmpeq_epi8(v, amp),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt))));
        const int mask = _mm_movemask_epi8(hit);
        return mask == 0 ? 16 : __builtin_ctz(static_cast<unsigned>(mask));
    };
    for (; i + 16 <= n; i += 16) {
        const int k = first_special(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (k < 16) return i + static_cast<size_t>(k);
    }
    if (i == n) return n;
    // The tail, copied next to zero bytes (which are never special).
    alignas(16) char tail[16] = {};
    std::memcpy(tail, p + i, n - i);
    const size_t k =
        static_cast<size_t>(first_special(_mm_load_si128(reinterpret_cast<const __m128i*>(tail))));
    return k < n - i ? i + k : n;
#else
    for (; i < n; ++i) {
        const char c = p[i];
        if (c == '"' || c == '\'' || c == '&' || c == '<' || c == '>') break;
    }
    return i;
#endif
}

// IN escaped at the start of OUT: its length, or SIZE_MAX when it does not
// fit. Text without special bytes (the usual case) is copied at once.
size_t escape(std::span<char> out, std::string_view in) {
    const size_t plain = plain_run(in);
    if (plain > out.size()) return SIZE_MAX;
    std::memcpy(out.data(), in.data(), plain);
    if (plain == in.size()) return plain;
    auto rest = xmpp::xml_escape(out.subspan(plain), in.substr(plain));
    return rest ? plain + *rest : SIZE_MAX;
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

// ---- output -----------------------------------------------------------------

// A full or closed queue refuses the element; the reply is then lost.
void queue(InboundSession& s, std::string_view text) {
    (void)s.wq.append(text);
}

void queue_built(InboundSession& s, std::span<char> buf, const Result<size_t>& n) {
    if (n) queue(s, {buf.data(), *n});
}

// Writes what is queued now, without waiting for writability.
FlushState flush_now(InboundSession& s) {
    auto r = tls_flush(s.conn, s.wq);
    return r ? *r : FlushState::pending;
}

// A stream error closes our side of the stream: nothing more is read.
void send_stream_error(InboundSession& s, xmpp::StreamError condition, std::string_view text = {}) {
    char buf[xmpp::kStreamErrorBufferSize];
    queue_built(s, buf, xmpp::write_stream_error(buf, condition, text));
    s.input_closed = true;
}

// A stanza over the limit ends the stream, and what else is in flight on it.
void refuse_oversized(InboundSession& s) {
    log::warn(kLogScope, {"inbound S2S id=", s.slot, " stanza over ", s.context.max_stanza,
                          " bytes from ", s.stanza.from.view(), ", closing stream"});
    s.stanza.reset();
    send_stream_error(s, xmpp::StreamError::policy_violation, "stanza too large");
}

void send_header(InboundSession& s) {
    // The peer's own from comes back to it escaped, so that our header stays
    // well-formed whatever it wrote.
    char buf[xmpp::kReplyBufferSize];
    auto n = xmpp::write_inbound_stream_header(buf, s.context.local_domain, s.remote_domain.view(),
                                               s.stream_id());
    if (!n) {
        log::error(kLogScope, {"failed to build stream open response"});
        return;
    }
    queue(s, {buf, *n});
}

void send_features(InboundSession& s, xmpp::FeatureSet set) {
    char buf[xmpp::kReplyBufferSize];
    queue_built(s, buf, xmpp::write_features(buf, set, {.max_bytes = s.context.max_stanza}));
}

void send_dialback(InboundHost& host, InboundSession& s, const Dialback& e) {
    char buf[kDialbackElementSize];
    queue_built(s, buf, xmpp::write_dialback(buf, e));
    host.inbound_want_write(s);
}

// ---- stream header ----------------------------------------------------------

// Keeps the prefix bindings of the peer's header: the first 16 prefix
// declarations as the parser resolves them, the first binding of a prefix
// winning.
void keep_header_bindings(InboundSession& s, const XmlElement& e) {
    s.header_binding_count = 0;
    s.header_store.clear();
    size_t seen = 0;
    for (const auto& d : e.namespaces) {
        if (d.prefix.empty()) continue;
        if (seen++ == kHeaderBindings) break;
        bool known = false;
        for (size_t i = 0; i < s.header_binding_count; ++i) {
            const HeaderBinding& b = s.header_bindings[i];
            if (std::string_view(s.header_store.data + b.prefix_at, b.prefix_len) == d.prefix)
                known = true;
        }
        if (known) continue;
        // A binding that does not fit is not kept: stanzas that use it are
        // dropped as malformed.
        if (d.prefix.size() + d.uri.size() > kHeaderBindingStore - s.header_store.len) continue;
        HeaderBinding b;
        b.prefix_at = static_cast<uint16_t>(s.header_store.len);
        b.prefix_len = static_cast<uint16_t>(d.prefix.size());
        s.header_store.append(d.prefix);
        b.uri_at = static_cast<uint16_t>(s.header_store.len);
        b.uri_len = static_cast<uint16_t>(d.uri.size());
        s.header_store.append(d.uri);
        s.header_bindings[s.header_binding_count++] = b;
    }
}

void on_stream_open(InboundHost& host, InboundSession& s, const XmlElement& e) {
    s.remote_domain.assign(e.attribute("from").value_or(std::string_view{}));
    keep_header_bindings(s, e);
    const auto to = e.attribute("to");
    if (to && !ours(s, *to)) {
        // Our header first, so that the error is in a stream the peer can read.
        log::warn(kLogScope,
                  {"inbound S2S id=", s.slot, " header for a domain not ours: to=", *to});
        send_header(s);
        send_stream_error(s, xmpp::StreamError::host_unknown);
        return;
    }
    switch (s.state) {
        case InboundState::connected:
            s.state = InboundState::starttls_offered;
            send_header(s);
            send_features(s, xmpp::FeatureSet::starttls_required);
            return;
        case InboundState::awaiting_restart:
            if (s.sasl_authenticated) {
                s.state = InboundState::established;
                send_header(s);
                send_features(s, xmpp::FeatureSet::established);
                log::info(kLogScope,
                          {"inbound S2S stream established: remote=", s.remote_domain.view()});
                return;
            }
            if (!s.conn.tls_active || s.remote_domain.empty())
                return inbound_dane_result(host, s, false);
            s.state = InboundState::resolving;
            host.inbound_dane_lookup(s, s.remote_domain.view());
            return;
        default:
            send_stream_error(s, xmpp::StreamError::not_well_formed);
            return;
    }
}

// ---- STARTTLS and SASL ------------------------------------------------------

void on_starttls(InboundSession& s) {
    s.state = InboundState::tls_handshake;
    queue(s, xmpp::kTlsProceed);
    const FlushState flushed = flush_now(s);
    if (!s.context.server_tls) {
        log::warn(kLogScope,
                  {"inbound S2S id=", s.slot, " STARTTLS requested but no TLS configured"});
        return;
    }
    // The proceed must be on the wire, in plain text, before TLS starts.
    if (flushed != FlushState::complete) {
        log::error(kLogScope, {"inbound S2S id=", s.slot, " TLS upgrade failed"});
        s.close_pending = true;
        return;
    }
    if (!tls_server_attach(s.conn, s.context.server_tls)) {
        log::error(kLogScope, {"inbound S2S id=", s.slot, " TLS upgrade failed"});
        return;
    }
    log::info(kLogScope, {"inbound S2S id=", s.slot, " starting TLS handshake"});
}

void on_auth(InboundSession& s, const XmlElement& e) {
    if (e.attribute("mechanism").value_or(std::string_view{}) != "EXTERNAL") {
        send_stream_error(s, xmpp::StreamError::not_authorized);
        return;
    }
    if (s.state != InboundState::auth_offered) {
        send_stream_error(s, xmpp::StreamError::not_well_formed);
        return;
    }
    if (!s.dane_verified) {
        char buf[xmpp::kReplyBufferSize];
        queue_built(s, buf, xmpp::write_sasl_failure(buf, "not-authorized"));
        return;
    }
    s.sasl_authenticated = true;
    s.state = InboundState::awaiting_restart;
    (void)s.add_authenticated(s.remote_domain.view());
    queue(s, xmpp::kSaslSuccess);
    (void)flush_now(s);
    log::info(kLogScope, {"inbound S2S authenticated: remote=", s.remote_domain.view()});
    // The peer restarts the stream; the event in hand is not used after this.
    s.parser->reset();
    s.header_binding_count = 0;
}

// ---- dialback ---------------------------------------------------------------

void answer_verify(InboundHost& host, InboundSession& s) {
    auto& v = s.verify;
    Dialback answer{
        Dialback::Kind::verify, s.context.local_domain, v.from.view(), v.id.view(), "invalid", {}};
    if (!ours(s, v.to.view())) {
        log::warn(kLogScope, {"dialback verify: request for a domain not ours: to=", v.to.view()});
        answer.type = "error";
        send_dialback(host, s, answer);
        return;
    }
    if (!xmpp::key_text_acceptable(v.key.view())) {
        log::warn(kLogScope, {"dialback verify: unacceptable key from ", v.from.view()});
        send_dialback(host, s, answer);
        return;
    }
    auto expected =
        xmpp::dialback_key(s.context.dialback_secret, v.from.view(), v.to.view(), v.id.view());
    const bool valid = expected && xmpp::dialback_key_matches(v.key.view(), *expected);
    if (valid) answer.type = "valid";
    send_dialback(host, s, answer);
    if (valid)
        log::info(kLogScope,
                  {"dialback verify: valid key from ", v.from.view(), " for stream ", v.id.view()});
    else
        log::warn(kLogScope, {"dialback verify: invalid key from ", v.from.view(), " for stream ",
                              v.id.view()});
}

void on_verify_start(InboundSession& s, const XmlElement& e, uint32_t level) {
    auto& v = s.verify;
    v.from.assign(e.attribute("from").value_or(std::string_view{}));
    v.to.assign(e.attribute("to").value_or(std::string_view{}));
    v.id.assign(e.attribute("id").value_or(std::string_view{}));
    v.key.clear();
    v.has_text = false;
    v.level = level;
    // Without text there is no key to check and no answer.
    v.pending = !e.self_closing;
}

void finish_result(InboundHost& host, InboundSession& s) {
    auto& r = s.result;
    r.pending = false;
    if (r.origin.empty() || r.key.empty()) {
        log::warn(kLogScope, {"dialback callback: missing origin or key"});
        return;
    }
    Dialback answer{
        Dialback::Kind::result, s.context.local_domain, r.origin.view(), {}, "invalid", {}};
    if (!ours(s, r.to.view())) {
        log::warn(kLogScope, {"dialback callback: key for a domain not ours: to=", r.to.view()});
        answer.type = "error";
        send_dialback(host, s, answer);
        return;
    }
    if (!xmpp::key_text_acceptable(r.key.view())) {
        log::warn(kLogScope, {"dialback callback: unacceptable key from ", r.origin.view()});
        send_dialback(host, s, answer);
        return;
    }
    // The callbacks a peer can have us make at once are bounded.
    if (s.callbacks_outstanding >= kCallbacksPerSession) {
        if (!s.callback_limit_logged)
            log::warn(kLogScope, {"dialback callback: too many outstanding on inbound session ",
                                  s.slot, ", refusing more"});
        s.callback_limit_logged = true;
        send_dialback(host, s, answer);
        return;
    }
    ++s.callbacks_outstanding;
    log::info(kLogScope,
              {"initiating dialback callback to ", r.origin.view(), " for stream ", s.stream_id()});
    host.inbound_dialback_callback(s, r.origin.view(), r.key.view());
}

void on_result_start(InboundHost& host, InboundSession& s, const XmlElement& e, uint32_t level) {
    if (!e.attribute("type").value_or(std::string_view{}).empty()) return;
    auto& r = s.result;
    r.origin.assign(e.attribute("from").value_or(std::string_view{}));
    r.to.assign(e.attribute("to").value_or(std::string_view{}));
    r.key.clear();
    log::info(kLogScope, {"inbound dialback key submission from ", r.origin.view()});
    // Dialback authenticates only a stream restarted over TLS.
    const bool over_tls = s.conn.tls_active && (s.state == InboundState::auth_offered ||
                                                s.state == InboundState::established);
    if (!over_tls) {
        r.pending = false;
        send_stream_error(s, xmpp::StreamError::policy_violation);
        return;
    }
    r.pending = true;
    r.level = level;
    if (e.self_closing) finish_result(host, s);
}

// ---- stanzas ----------------------------------------------------------------

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

void start_stanza(InboundHost& host, InboundSession& s, const XmlElement& e, uint32_t level);

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
    } else if (!ours(s, delivery_domain(st.to.view()))) {
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

// ---- events -----------------------------------------------------------------

void on_element_start(InboundHost& host, InboundSession& s, const XmlElement& e) {
    if (s.stanza.active) {
        stanza_child_start(s, e);
        return;
    }
    // Negotiation elements and stanzas are children of the stream element;
    // anything nested in an element we ignore is ignored with it.
    const uint32_t level = level_of(*s.parser, e);
    if (level > 2) return;
    if (level == 1) {
        // A root element that is not a stream in the streams namespace.
        send_stream_error(s, xmpp::StreamError::invalid_namespace);
        return;
    }
    if (s.state == InboundState::established && level == 2 && is_stanza_name(e.local)) {
        start_stanza(host, s, e, level);
        return;
    }
    if (e.ns == xmpp::kTlsNs && e.local == "starttls") {
        if (s.state == InboundState::starttls_offered)
            on_starttls(s);
        else
            send_stream_error(s, xmpp::StreamError::not_well_formed);
        return;
    }
    if (e.ns == xmpp::kSaslNs && e.local == "auth") {
        on_auth(s, e);
        return;
    }
    if (e.ns == xmpp::kDialbackNs && e.local == "verify") {
        on_verify_start(s, e, level);
        return;
    }
    if (e.ns == xmpp::kDialbackNs && e.local == "result") on_result_start(host, s, e, level);
}

void on_text(InboundSession& s, std::string_view text) {
    if (s.stanza.active) {
        stanza_text(s.stanza, text);
    } else if (s.result.pending) {
        s.result.key.append(text);
    } else if (s.verify.pending) {
        s.verify.key.append(text);
        s.verify.has_text = true;
    }
}

void on_element_end(InboundHost& host, InboundSession& s) {
    const uint32_t depth = s.parser->depth();
    if (s.stanza.active) {
        if (depth < s.stanza.level)
            complete_stanza(host, s);
        else
            stanza_child_end(s.stanza);
        return;
    }
    if (s.result.pending && depth < s.result.level) {
        finish_result(host, s);
    } else if (s.verify.pending && depth < s.verify.level) {
        s.verify.pending = false;
        if (s.verify.has_text) answer_verify(host, s);
    }
}

void on_stream_close(InboundSession& s) {
    s.state = InboundState::peer_closed;
    s.stanza.reset();
    queue(s, xmpp::kStreamClose);
    s.input_closed = true;
}

// ---- reading ----------------------------------------------------------------

InboundOutcome read_path(InboundHost& host, InboundSession& s);

InboundOutcome handshake(InboundHost& host, InboundSession& s) {
    auto r = tls_handshake_step(s.conn);
    if (!r) {
        log::error(kLogScope, {"inbound S2S id=", s.slot, " TLS handshake failed"});
        return InboundOutcome::close;
    }
    switch (*r) {
        case TlsPhase::want_read:
            return InboundOutcome::keep;
        case TlsPhase::want_write:
            host.inbound_want_write(s);
            return InboundOutcome::keep;
        case TlsPhase::done:
            break;
    }
    log::info(kLogScope, {"inbound S2S id=", s.slot, " TLS handshake complete"});
    s.state = InboundState::awaiting_restart;
    s.parser->reset();
    s.header_binding_count = 0;
    s.rbuf.clear();
    return read_path(host, s);  // application data may already be waiting
}

// Hands the buffered bytes to the parser, event by event.
void feed(InboundHost& host, InboundSession& s) {
    const std::string_view in = s.rbuf.unconsumed_text();
    size_t pos = 0;
    while (!s.input_closed && s.state != InboundState::tls_handshake) {
        const size_t before = pos;
        auto r = s.parser->next_event(in, pos);
        s.element_bytes += pos - before;
        if (!r) {
            log::warn(kLogScope,
                      {"inbound S2S id=", s.slot, " XML parse error: ", error_name(r.error())});
            send_stream_error(s, xmpp::StreamError::not_well_formed);
            break;
        }
        if (!*r) {
            if (s.stanza.active && s.element_bytes > s.context.max_stanza) {
                refuse_oversized(s);
                break;
            }
            s.rbuf.consume(pos);
            return;
        }
        handle_event(host, s, **r);
        if (s.close_pending) return;
        if (s.stanza_waiting) {
            s.rbuf.consume(pos);
            return;
        }
        if (s.stanza.active) {
            if (s.stanza.fault == StanzaCollector::Fault::over_limit ||
                s.element_bytes > s.context.max_stanza)
                refuse_oversized(s);
        } else if (s.parser->depth() <= 1) {
            s.element_bytes = 0;
        }
    }
    // Bytes after STARTTLS arrived before TLS and are never parsed; after our
    // side of the stream has ended, nothing more is.
    s.rbuf.clear();
}

InboundOutcome read_path(InboundHost& host, InboundSession& s) {
    while (!s.stanza_waiting) {
        auto n = tls_read(s.conn, s.rbuf);
        if (!n) return InboundOutcome::close;
        if (*n == 0) break;
        feed(host, s);
        if (s.close_pending) return InboundOutcome::close;
        if (s.conn.handshaking()) return handshake(host, s);
        // Decrypted bytes that did not fit are announced by no event.
        if (!tls_has_pending(s.conn)) break;
    }
    if (!s.wq.empty()) host.inbound_want_write(s);
    return InboundOutcome::keep;
}

}  // namespace

void inbound_dane_result(InboundHost& host, InboundSession& s, bool verified) {
    s.dane_lookup.reset();
    s.state = InboundState::auth_offered;
    s.dane_verified = verified;
    send_header(s);
    send_features(s, verified ? xmpp::FeatureSet::sasl_external : xmpp::FeatureSet::dialback);
    host.inbound_want_write(s);
}

void StanzaCollector::reset() {
    active = false;
    fault = Fault::none;
    self_closing = false;
    level = 0;
    header_used = 0;
    own_prefixes = 0;
    declared_count = 0;
    open_count = 0;
    name.clear();
    from.clear();
    to.clear();
    type.clear();
    id.clear();
    has_type = has_id = false;
    head.clear();
    content.clear();
}

InboundSession::InboundSession(int slot_, int fd, const InboundContext& context_)
    : slot(slot_), context(context_) {
    conn.fd = fd;
    (void)stanza.content.allocate(context.max_stanza);  // the daemon checks
}

void InboundSession::set_stream_id() {
    char* p = stream_id_buf;
    char* const end = stream_id_buf + kStreamIdSize;
    std::memcpy(p, "s2s-", 4);
    p += 4;
    p = std::to_chars(p, end - 1, slot).ptr;  // one byte stays for the '-'
    *p++ = '-';
    uint8_t random[kStreamIdSize / 2];
    arc4random_buf(random, sizeof random);
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; p < end; ++i)
        *p++ = hex[(random[i / 2] >> (i % 2 == 0 ? 4 : 0)) & 15];
    stream_id_len = static_cast<uint8_t>(kStreamIdSize);
}

bool InboundSession::authenticated(std::string_view domain) const {
    for (size_t i = 0; i < auth_domain_count; ++i)
        if (auth_domains[i].view() == domain) return true;
    return false;
}

bool InboundSession::add_authenticated(std::string_view domain) {
    if (authenticated(domain)) return true;
    if (auth_domain_count == kAuthenticatedDomains) return false;
    auth_domains[auth_domain_count++].assign(domain);
    return true;
}

void handle_event(InboundHost& host, InboundSession& s, const XmlEvent& ev) {
    switch (ev.kind) {
        case XmlEventKind::stream_open:
            on_stream_open(host, s, ev.element);
            return;
        case XmlEventKind::stream_close:
            on_stream_close(s);
            return;
        case XmlEventKind::element_start:
            on_element_start(host, s, ev.element);
            return;
        case XmlEventKind::element_end:
            on_element_end(host, s);
            return;
        case XmlEventKind::text:
            on_text(s, ev.text);
            return;
        case XmlEventKind::declaration:
            return;
    }
}

InboundOutcome inbound_readable(InboundHost& host, InboundSession& s) {
    if (s.conn.handshaking()) return handshake(host, s);
    if (s.conn.fd < 0) return InboundOutcome::close;
    if (s.stanza_waiting) return InboundOutcome::keep;
    return read_path(host, s);
}

InboundOutcome inbound_resume(InboundHost& host, InboundSession& s) {
    if (!s.stanza_waiting) return InboundOutcome::keep;
    s.stanza_waiting = false;
    if (!hand_over(host, s, rebuild(s, {rebuild_buffer, s.context.max_stanza})))
        return InboundOutcome::keep;
    s.stanza.reset();
    s.element_bytes = 0;
    feed(host, s);
    if (s.close_pending) return InboundOutcome::close;
    if (s.stanza_waiting) return InboundOutcome::keep;
    return read_path(host, s);
}

InboundOutcome inbound_writable(InboundHost& host, InboundSession& s) {
    if (s.conn.handshaking()) return handshake(host, s);
    if (s.write_shut) return InboundOutcome::keep;
    auto r = tls_flush(s.conn, s.wq);
    if (!r) return InboundOutcome::close;
    if (*r == FlushState::pending) {
        host.inbound_want_write(s);
    } else if (s.input_closed) {
        s.write_shut = true;
        tls_shutdown_write(s.conn);
        host.inbound_write_shut(s);
    }
    return InboundOutcome::keep;
}

void apply_verdict(InboundHost& host, InboundSession& s, std::string_view origin, bool valid) {
    if (s.callbacks_outstanding > 0) --s.callbacks_outstanding;
    if (s.input_closed) return;  // our side of the stream has ended
    const bool over_tls = s.conn.tls_active && (s.state == InboundState::auth_offered ||
                                                s.state == InboundState::established);
    const bool accepted = valid && over_tls && s.add_authenticated(origin);
    send_dialback(host, s,
                  {Dialback::Kind::result,
                   s.context.local_domain,
                   origin,
                   {},
                   accepted ? "valid" : "invalid",
                   {}});
    if (!accepted) {
        log::warn(kLogScope, {"dialback callback: ", origin, " invalid, inbound session ", s.slot,
                              " rejected"});
        return;
    }
    s.state = InboundState::established;
    log::info(kLogScope, {"dialback callback: ", origin, " verified, inbound session ", s.slot,
                          " authenticated"});
}

void apply_dialback_verdict(S2sServer& server, int inbound_slot, std::string_view stream_id,
                            std::string_view origin, bool valid) {
    InboundSession* s = server.inbound_session(inbound_slot);
    if (!s || s->stream_id() != stream_id) {
        log::warn(kLogScope, {"dialback callback: inbound session ", inbound_slot, " gone"});
        return;
    }
    apply_verdict(server, *s, origin, valid);
}

}  // namespace fenra::s2s
