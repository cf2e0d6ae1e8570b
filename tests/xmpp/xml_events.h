// Feeds bytes to an XmlParser in given pieces and renders every event as one
// line of text, so that runs over different cuts of the same bytes can be
// compared. It also checks the lifetime promise: every string handed out
// inside a stanza still reads the same when the stanza ends, and the stream
// header's strings still read the same at every later event until the next
// top-level start tag.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "s2s/xmpp/xml_parser.h"

namespace fenra::xmpp::testing {

inline std::string render(const XmlElement& e) {
    std::string s = std::string(e.name) + "{" + std::string(e.ns) + "|" + std::string(e.prefix) +
                    "|" + std::string(e.local) + "}";
    for (const XmlAttribute& a : e.attributes) {
        s += " " + std::string(a.name) + "=" + std::string(a.value) + "(" + std::string(a.prefix) +
             "|" + std::string(a.local) + ")";
    }
    for (const XmlNamespaceDecl& d : e.namespaces)
        s += " ns:" + std::string(d.prefix) + "=" + std::string(d.uri);
    if (e.self_closing) s += " /";
    return s;
}

inline std::string render(const XmlEvent& ev) {
    switch (ev.kind) {
        case XmlEventKind::stream_open:
            return "stream_open " + render(ev.element);
        case XmlEventKind::stream_close:
            return "stream_close";
        case XmlEventKind::element_start:
            return "start " + render(ev.element);
        case XmlEventKind::element_end:
            return "end " + std::string(ev.name);
        case XmlEventKind::text:
            return "text " + std::string(ev.text);
        case XmlEventKind::declaration:
            return "declaration";
    }
    return "?";
}

struct Feeder {
    XmlParser parser;
    std::vector<std::string> events;
    bool failed = false;
    Error error = Error::Unexpected;
    // Views handed out and what they read when handed out.
    std::vector<std::pair<std::string_view, std::string>> held;
    std::vector<std::pair<std::string_view, std::string>> header;
    size_t stale = 0;  // views found changed before their time
    std::string first_stale;
    size_t longest_text = 0;  // longest text event
    size_t longest_item = 0;  // longest other string of an event

    void keep(std::vector<std::pair<std::string_view, std::string>>& to, const XmlEvent& ev) {
        auto add = [&](std::string_view v) {
            to.emplace_back(v, std::string(v));
            if (v.data() != ev.text.data()) longest_item = std::max(longest_item, v.size());
        };
        longest_text = std::max(longest_text, ev.text.size());
        add(ev.name);
        add(ev.text);
        add(ev.element.name);
        add(ev.element.ns);
        for (const XmlAttribute& a : ev.element.attributes) {
            add(a.name);
            add(a.value);
        }
        for (const XmlNamespaceDecl& d : ev.element.namespaces) {
            add(d.prefix);
            add(d.uri);
        }
    }

    void check(std::vector<std::pair<std::string_view, std::string>>& views) {
        for (const auto& [view, copy] : views) {
            if (view == copy) continue;
            if (stale++ == 0) first_stale = "'" + copy + "' became '" + std::string(view) + "'";
        }
    }

    // Feeds one piece; returns false once the parser has failed.
    bool feed(std::string_view piece) {
        if (failed) return false;
        size_t pos = 0;
        for (;;) {
            auto r = parser.next_event(piece, pos);
            if (!r) {
                failed = true;
                error = r.error();
                events.push_back("error " + std::string(error_name(error)));
                return false;
            }
            if (!*r) break;
            const XmlEvent& ev = **r;
            events.push_back(render(ev));
            // A start tag read at depth 0 (the stream header) ends the life of
            // the previous one's strings.
            bool top = false;
            if (ev.kind == XmlEventKind::element_start || ev.kind == XmlEventKind::stream_open) {
                const bool closed_again =
                    ev.kind == XmlEventKind::element_start && ev.element.self_closing;
                top = parser.depth() == (closed_again ? 0u : 1u);
            }
            if (top) {
                header.clear();
                keep(header, ev);
            } else {
                check(header);
                keep(held, ev);
            }
            if (parser.depth() <= 1) {
                check(held);
                held.clear();
            }
        }
        if (pos != piece.size()) events.push_back("short consume");
        return true;
    }
};

// What one run over an input gave.
struct FeedRun {
    std::vector<std::string> events;
    bool failed = false;
    size_t stale = 0;
    std::string first_stale;
    size_t longest_text = 0;
    size_t longest_item = 0;
    size_t memory_peak = 0;
};

// Events of `input` cut at the given offsets (sorted, within the input).
inline FeedRun feed_cut(std::string_view input, const std::vector<size_t>& cuts) {
    Feeder f;
    size_t at = 0;
    for (size_t c : cuts) {
        f.feed(input.substr(at, c - at));
        at = c;
    }
    f.feed(input.substr(at));
    return FeedRun{std::move(f.events),      f.failed,       f.stale,
                   std::move(f.first_stale), f.longest_text, f.longest_item,
                   f.parser.memory_peak()};
}

}  // namespace fenra::xmpp::testing
