// An established inbound session on arbitrary stream bytes (after a fixed
// stream header from an authenticated peer). Every stanza it forwards is
// read back with a fresh parser and must stand on its own: one element whose
// end tags match its start tags, no attribute written twice, every prefix
// declared inside it, from and to as the session reported them. Anything the
// peer sends may be dropped, but nothing may be forwarded broken.

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/log.h"
#include "s2s/xmpp/inbound_session.h"

namespace {

using fenra::s2s::InboundContext;
using fenra::s2s::InboundSession;
using fenra::s2s::InboundState;
using fenra::s2s::TlsConn;
using fenra::xmpp::XmlElement;
using fenra::xmpp::XmlEventKind;
using fenra::xmpp::XmlParser;

constexpr std::string_view kHeader =
    "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns:db='jabber:server:dialback' xmlns:x='urn:x' from='b.example' to='a.example'>";

void check(bool ok) {
    if (!ok) std::abort();
}

struct Scope {
    std::string name;
    std::vector<std::string> prefixes;
};

bool declared(const std::vector<Scope>& open, const XmlElement& e, std::string_view prefix) {
    if (prefix.empty() || prefix == "xml") return true;
    for (const auto& d : e.namespaces)
        if (d.prefix == prefix) return true;
    for (const auto& s : open)
        for (const auto& p : s.prefixes)
            if (p == prefix) return true;
    return false;
}

void check_element(std::vector<Scope>& open, const XmlElement& e, bool& root_seen,
                   std::string_view from, std::string_view to) {
    check(!(open.empty() && root_seen));  // one element only
    check(declared(open, e, e.prefix));
    for (size_t i = 0; i < e.attributes.size(); ++i) {
        check(declared(open, e, e.attributes[i].prefix));
        for (size_t j = 0; j < i; ++j)
            check(e.attributes[j].name != e.attributes[i].name);
    }
    if (open.empty()) {
        root_seen = true;
        check(e.attribute("from") == from);
        check(e.attribute("to") == to);
    }
    if (e.self_closing) return;
    Scope s{std::string(e.name), {}};
    for (const auto& d : e.namespaces)
        s.prefixes.emplace_back(d.prefix);
    open.push_back(std::move(s));
}

// A forwarded stanza read back on its own.
void check_stanza(std::string_view from, std::string_view to, std::string_view stanza) {
    XmlParser p;
    std::vector<Scope> open;
    bool root_seen = false;
    size_t pos = 0;
    for (;;) {
        auto r = p.next_event(stanza, pos);
        check(bool(r));
        if (!*r) break;
        const auto& ev = **r;
        switch (ev.kind) {
            case XmlEventKind::stream_open:
            case XmlEventKind::element_start:
                check_element(open, ev.element, root_seen, from, to);
                break;
            case XmlEventKind::element_end:
                check(!open.empty() && ev.name == open.back().name);
                open.pop_back();
                break;
            case XmlEventKind::stream_close:
                check(!open.empty() && open.back().name == "stream:stream");
                open.pop_back();
                break;
            case XmlEventKind::text:
                check(!open.empty());
                break;
            case XmlEventKind::declaration:
                check(false);
        }
    }
    check(root_seen && open.empty() && pos == stanza.size());
}

struct Host final : fenra::s2s::InboundHost {
    size_t forwarded = 0;
    bool inbound_forward(std::string_view from, std::string_view to,
                         std::string_view stanza) override {
        check(!from.empty() && !to.empty() && stanza.size() <= fenra::s2s::kRebuildSize);
        check_stanza(from, to, stanza);
        ++forwarded;
        return true;
    }
    void inbound_dialback_callback(const InboundSession&, std::string_view,
                                   std::string_view) override {}
    void inbound_dane_lookup(InboundSession& s, std::string_view) override {
        fenra::s2s::inbound_dane_result(s, false);
    }
    void inbound_close(InboundSession&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The session's log lines (one per stanza) would only slow the search.
    fenra::log::set_output_fd(open("/dev/null", O_WRONLY | O_CLOEXEC));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint8_t secret[32] = {};
    Host host;
    InboundSession s(3, -1,
                     InboundContext{"a.example", std::span<const uint8_t, 32>(secret), nullptr});
    s.parser = std::make_unique<XmlParser>();
    s.state = InboundState::awaiting_restart;
    s.sasl_authenticated = true;
    s.add_authenticated("b.example");

    std::string in(kHeader);
    in.append(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (!s.input_closed) {
        auto r = s.parser->next_event(in, pos);
        if (!r || !*r) break;
        fenra::s2s::handle_event(host, s, **r);
    }
    return 0;
}
