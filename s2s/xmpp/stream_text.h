// The bytes this daemon writes for the XML framing of S2S streams: stream
// headers, features, negotiation replies, stream errors and the stream close,
// and the escaping used when a stanza is re-serialized.
//
// Texts are concatenations of fixed pieces and values built into a caller's
// fixed buffer: kReplyBufferSize bytes for headers and replies,
// kStreamErrorBufferSize for stream errors. Every value (domains, stream ids,
// dialback keys, SASL data) is escaped; only the fixed pieces and the
// condition words of the enumerations below are written as they stand. Each
// writer returns the length written, or NoSpaceLeft when the text does not
// fit (the buffer's contents are then unspecified). Every other element is
// built here too; only inbound stanzas are re-serialized by the inbound
// stanza module (inbound_stanza.h), from the parser's events, with xml_escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "runtime/result.h"
#include "s2s/net/write_queue.h"

namespace fenra::xmpp {

inline constexpr size_t kReplyBufferSize = 2048;
inline constexpr size_t kStreamErrorBufferSize = 512;

inline constexpr std::string_view kStreamsNs = "http://etherx.jabber.org/streams";
inline constexpr std::string_view kTlsNs = "urn:ietf:params:xml:ns:xmpp-tls";
inline constexpr std::string_view kSaslNs = "urn:ietf:params:xml:ns:xmpp-sasl";
inline constexpr std::string_view kDialbackNs = "jabber:server:dialback";
inline constexpr std::string_view kServerNs = "jabber:server";

// The fixed replies.
inline constexpr std::string_view kTlsProceed =
    "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";
inline constexpr std::string_view kSaslSuccess =
    "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>";
inline constexpr std::string_view kStreamClose = "</stream:stream>";
inline constexpr std::string_view kStartTls = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";

// Stream error conditions; the values are fixed.
enum class StreamError : uint8_t {
    host_unknown = 0,
    not_authorized = 1,
    invalid_namespace = 2,
    not_well_formed = 3,
    policy_violation = 4,
    internal_server_error = 5,
    unsupported_version = 6,
    connection_timeout = 7,
};

// "host-unknown", "not-authorized", ...
std::string_view stream_error_condition(StreamError e);

// The one feature set offered to an inbound peer at each stage.
enum class FeatureSet : uint8_t {
    starttls_required,  // before TLS
    sasl_external,      // over TLS, the peer's certificate passed DANE
    dialback,           // over TLS otherwise
    established,        // after SASL success: "<stream:features/>"
};

// The stream limits announced in the features of an inbound stream
// (<limits xmlns='urn:xmpp:stream-limits:0'>); an item at 0 is left out.
struct StreamLimits {
    uint32_t max_bytes = 0;     // the largest stanza accepted
    uint32_t idle_seconds = 0;  // how long the stream may stay silent
};

// The initiating stream header: no id attribute.
Result<size_t> write_stream_header(std::span<char> out, std::string_view local_domain,
                                   std::string_view remote_domain);
// The header answering a peer's: `remote_domain` is the peer's `from`, empty
// if it gave none.
Result<size_t> write_inbound_stream_header(std::span<char> out, std::string_view local_domain,
                                           std::string_view remote_domain,
                                           std::string_view stream_id);
// Every set but starttls_required carries LIMITS when any is set.
Result<size_t> write_features(std::span<char> out, FeatureSet set, const StreamLimits& limits = {});
// "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><" condition "/></failure>"
Result<size_t> write_sasl_failure(std::span<char> out, std::string_view condition);
// "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>" data "</auth>"
Result<size_t> write_sasl_external(std::span<char> out, std::string_view data);

// A dialback element, db:result or db:verify: from, to, then id and type when
// not empty; the key as its text, or no text at all (an answer). The type
// "error" carries <item-not-found/> of the stanza errors.
struct DialbackElement {
    enum class Kind : uint8_t { result, verify };
    Kind kind = Kind::result;
    std::string_view from;
    std::string_view to;
    std::string_view id;
    std::string_view type;
    std::string_view key;
};
Result<size_t> write_dialback(std::span<char> out, const DialbackElement& e);
// The stream error element (with TEXT, a fixed text, in a text element when
// not empty) followed by the stream close, in one text.
Result<size_t> write_stream_error(std::span<char> out, StreamError condition,
                                  std::string_view text = {});
// Copies a fixed text (kTlsProceed, kSaslSuccess, kStreamClose, ...).
Result<size_t> write_text(std::span<char> out, std::string_view text);

// `in` with '"', '\'', '&', '<' and '>' escaped, written at the start of
// `out`; returns the length written. Used for attribute values (always
// written between single quotes) and text.
Result<size_t> xml_escape(std::span<char> out, std::string_view in);

// The per-connection write queue (s2s/net/write_queue.h) under its old names.
using WriteQueue = s2s::WriteQueue;
inline constexpr size_t kWriteQueueSize = s2s::kWriteQueueSize;

}  // namespace fenra::xmpp
