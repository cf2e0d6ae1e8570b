// The inbound S2S session: one connection accepted on the S2S listener.
//
// The session negotiates the stream the way this daemon requires it: the
// peer's stream header, mandatory STARTTLS, the stream restarted over TLS,
// then SASL EXTERNAL (only when the peer's certificate passes the DANE check)
// or server dialback; once the stream is established it collects each
// message, presence and iq, rebuilds it as a stand-alone element and hands
// it to the core (inbound_stanza.h).
//
//     state  meaning                                   left on
//     0      connected, no header yet                  peer header: 1
//     1      header and STARTTLS-required features     starttls: 2
//     2      proceed sent, TLS handshake               handshake complete: 3
//     3      waiting for the peer to restart           peer header: 4, or 6 after SASL
//     4      restarted over TLS, EXTERNAL or dialback  SASL success: 3; dialback valid: 6
//     6      established: stanzas are accepted         peer's </stream:stream>: 8
//     8      peer closed its stream                    connection closed
//
// A stream authenticates a set of up to 16 domains: the header's from when
// SASL EXTERNAL succeeds, and each origin whose dialback key the callback
// verified. A stanza is forwarded only when the domain of its from is in that
// set; a stanza with a field too long or nested too deep, malformed or
// lacking from or to is dropped whole with a warning, never forwarded in
// pieces. A stanza over the stream's size limit (as received or as rebuilt)
// ends the stream with the stream error policy-violation, "stanza too large".
//
// A stanza the daemon cannot take now (no core, or its core is behind) waits
// in the collector: the session reads nothing more until inbound_resume
// hands it over.
//
// Once the session has sent a stream error or its own stream close, the rest
// of the peer's input is ignored; when that text is written, our direction
// ends (TLS close-notify, shutdown for writing), and the connection is closed
// when the peer ends its own, at the latest 5 s later (what it sends meanwhile
// is read and dropped, so that unread input cannot reset the connection
// before our error arrives).
//
// Everything the session needs from the daemon goes through InboundHost, so
// the session runs on any socket (tests use socket pairs).
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "s2s/net/stream.h"
#include "s2s/net/target_lookup.h"
#include "s2s/net/tls.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/stream_text.h"
#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

struct InboundSession;

inline constexpr size_t kStreamIdSize = 32;
inline constexpr size_t kRemoteDomainMax = 256;
inline constexpr size_t kAuthenticatedDomains = 16;
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

enum class InboundState : uint8_t {
    connected = 0,
    starttls_offered = 1,
    tls_handshake = 2,
    awaiting_restart = 3,
    auth_offered = 4,
    established = 6,
    peer_closed = 8,
    // After the restart over TLS: the TLSA answer for the peer's domain is
    // awaited before our header and features go out.
    resolving = 9,
};

// What a session needs from the daemon.
class InboundHost {
  public:
    virtual ~InboundHost() = default;
    // Hands an accepted stanza (the rebuilt element) to a core; false when no
    // core can take it now (the session then waits for inbound_resume).
    virtual bool inbound_forward(std::string_view from, std::string_view to,
                                 std::string_view stanza) = 0;
    // Asks the origin's authoritative server whether KEY is valid for this
    // session's stream; the verdict comes back through apply_verdict
    // (dialback.h).
    virtual void inbound_dialback_callback(const InboundSession& session, std::string_view origin,
                                           std::string_view key) = 0;
    // Starts finding whether the peer's certificate is vouched for by
    // DOMAIN's TLSA records; the verdict comes back through
    // inbound_dane_result, possibly before this returns.
    virtual void inbound_dane_lookup(InboundSession& session, std::string_view domain) = 0;
    // One-shot write interest for the session's socket.
    virtual void inbound_want_write(const InboundSession& session) = 0;
    // Our direction of the connection has ended: the session is closed when
    // the peer ends its own, or after a while.
    virtual void inbound_write_shut(const InboundSession& /*session*/) {}
};

// What every inbound session shares with the daemon.
struct InboundContext {
    std::string_view local_domain;
    std::span<const uint8_t> dialback_secret;
    SSL_CTX* server_tls;  // null without a certificate: STARTTLS cannot be carried out
    uint32_t max_stanza = kRebuildSize;  // the stanza limit, at most kRebuildSize
    uint32_t idle_seconds = 0;           // advertised with the features; 0: not
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

struct InboundSession {
    InboundSession(int slot, int fd, const InboundContext& context);
    InboundSession(const InboundSession&) = delete;
    InboundSession& operator=(const InboundSession&) = delete;

    // "s2s-" slot "-", then lowercase hex from the system's cryptographic
    // random source up to 32 bytes.
    void set_stream_id();
    std::string_view stream_id() const { return {stream_id_buf, stream_id_len}; }
    // Whether DOMAIN (of an address, a header or a dialback element) is ours;
    // domains compare without regard to ASCII case.
    bool ours(std::string_view domain) const;
    // Whether DOMAIN is one of the domains this stream authenticated.
    bool authenticated(std::string_view domain) const;
    // Adds DOMAIN to the authenticated set; false when the set is full.
    bool add_authenticated(std::string_view domain);

    const int slot;
    const InboundContext context;
    uint64_t serial = 0;  // tells a session from a later one in the same slot
    // The TLSA lookup in flight (resolving); dropped with the session.
    std::unique_ptr<TargetLookup> dane_lookup;
    Stream stream;  // the connection: socket, TLS, read buffer, write queue
    InboundState state = InboundState::connected;
    bool dane_verified = false;
    bool sasl_authenticated = false;
    bool input_closed = false;    // a stream error or our stream close was sent
    bool close_pending = false;   // the read path closes the session
    bool write_shut = false;      // our direction has ended (after input_closed)
    bool stanza_waiting = false;  // a complete stanza waits for a core: no reading
    bool reads_off = false;       // the daemon has taken the read interest away
    size_t element_bytes = 0;     // bytes read since the stream was last between elements
    char stream_id_buf[kStreamIdSize];
    uint8_t stream_id_len = 0;
    Bounded<kRemoteDomainMax> remote_domain;

    std::unique_ptr<xmpp::XmlParser> parser;

    // The peer's stream header bindings (first binding of a prefix wins).
    HeaderBinding header_bindings[kHeaderBindings];
    uint8_t header_binding_count = 0;
    Bounded<kHeaderBindingStore> header_store;

    StanzaCollector stanza;

    // Dialback: the key submission (db:result) and verify request
    // (db:verify) being read, each with the nesting level of its element.
    struct {
        bool pending = false;
        uint32_t level = 0;
        Bounded<kDialbackDomainMax> origin;
        Bounded<kDialbackDomainMax> to;
        Bounded<kDialbackKeyMax + 1> key;  // one more byte shows a longer key
    } result;
    uint8_t callbacks_outstanding = 0;
    bool callback_limit_logged = false;
    struct {
        bool pending = false;
        bool has_text = false;
        uint32_t level = 0;
        Bounded<kDialbackDomainMax> from;
        Bounded<kDialbackDomainMax> to;
        Bounded<kVerifyIdMax> id;
        Bounded<xmpp::kDialbackKeySize + 1> key;  // one more byte shows a longer key
    } verify;

    Bounded<kRemoteDomainMax> auth_domains[kAuthenticatedDomains];
    uint8_t auth_domain_count = 0;
};

enum class InboundOutcome : uint8_t { keep, close };

// The DANE verdict for a resolving session: our header and the features
// (SASL EXTERNAL when VERIFIED, dialback otherwise) go out.
void inbound_dane_result(InboundHost& host, InboundSession& s, bool verified);

// The socket is readable: continue a TLS handshake in progress, or read and
// hand the parser's events to handle_event. close: the caller releases the
// session (end of stream, read or TLS error, a failed handshake).
InboundOutcome inbound_readable(InboundHost& host, InboundSession& s);
// The socket is writable: continue a TLS handshake, or flush the output.
InboundOutcome inbound_writable(InboundHost& host, InboundSession& s);
// A core may take the waiting stanza now: it is offered again and, once
// taken, the session goes on with what it has buffered and reads on.
InboundOutcome inbound_resume(InboundHost& host, InboundSession& s);

// Ends our side of the stream for want of progress: a stream error
// connection-timeout, or with IDLE our stream close (our stream header first
// when the peer's is not answered yet), then flushes. Nothing once our side
// has ended. close: the caller releases the session at once (a TLS
// handshake in progress, or the write failed); otherwise it is closed like
// after any stream error.
InboundOutcome inbound_end_stream(InboundHost& host, InboundSession& s, bool idle);

// A stanza over the limit ends the stream (policy-violation), and what else
// is in flight on it.
void refuse_oversized(InboundSession& s);

// Queues a stream error; it closes our side of the stream: nothing more is
// read.
void send_stream_error(InboundSession& s, xmpp::StreamError condition, std::string_view text = {});

// One parser event of the session's stream.
void handle_event(InboundHost& host, InboundSession& s, const xmpp::XmlEvent& ev);

}  // namespace fenra::s2s
