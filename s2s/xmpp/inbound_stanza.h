// Stanza collection on an established inbound stream: each message, presence
// and iq is collected from the parser's events into the session's
// StanzaCollector and rebuilt as a stand-alone element (the header bindings
// it relies on declared on it, every value escaped), then handed to the core
// when its from is authenticated and its to is ours.
#pragma once

#include <cstdint>
#include <string_view>

#include "s2s/xmpp/inbound_session.h"

namespace fenra::s2s {

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
