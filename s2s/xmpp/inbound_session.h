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
#include <span>
#include <string_view>

#include "s2s/net/stream.h"
#include "s2s/net/target_lookup.h"
#include "s2s/net/tls.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/inbound_stanza.h"
#include "s2s/xmpp/stream_text.h"
#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

struct InboundSession;

inline constexpr size_t kStreamIdSize = 32;
inline constexpr size_t kRemoteDomainMax = 256;
inline constexpr size_t kAuthenticatedDomains = 16;
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
    // Whether inbound reading is paused (stanzas wait for a core): an
    // established stream is then not read.
    virtual bool inbound_paused() const { return false; }
    // Releases the session (after its events found it must close).
    virtual void inbound_close(InboundSession& session) = 0;
};

// What every inbound session shares with the daemon.
struct InboundContext {
    std::string_view local_domain;
    std::span<const uint8_t> dialback_secret;
    SSL_CTX* server_tls;  // null without a certificate: STARTTLS cannot be carried out
    uint32_t max_stanza = kRebuildSize;  // the stanza limit, at most kRebuildSize
    uint32_t idle_seconds = 0;           // advertised with the features; 0: not
    uint32_t negotiation_seconds = 60;   // to authenticate the stream
    uint32_t close_seconds = 5;          // for the peer's close after ours
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
    InboundHost* host = nullptr;  // once attached to a loop
    uint64_t serial = 0;          // tells a session from a later one in the same slot
    // The TLSA lookup in flight (resolving); dropped with the session.
    std::unique_ptr<TargetLookup> dane_lookup;
    Stream stream;  // the connection: socket, TLS, read buffer, write queue, deadline
    // Liveness (monotonic ms): the stream's deadline is armed for the
    // nearest that applies.
    uint64_t accepted_ms = 0;
    uint64_t last_read_ms = 0;
    uint64_t closing_ms = 0;  // our side ended; 0: not yet
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

// Binds S's stream to LOOP with HOST: its socket is registered and its
// deadline armed for negotiation (or idleness, when sooner); from then on
// the loop's events for S go to inbound_event.
Result<void> inbound_attach(InboundHost& host, InboundSession& s, EventLoop& loop);
// An event of S's stream. Readable: read (not while reading is paused,
// unless the stream is still negotiating); writable: flush; timed out: the
// deadline that applies now is checked. The host releases S when it must
// close.
void inbound_event(InboundSession& s, EventKind kind);
// Read interest of S, taken away while inbound reading is paused and given
// back when it resumes.
void inbound_set_reads(InboundSession& s, bool on);
// The deadline fired: with our side ended, the peer's close is awaited for
// close_seconds; a stream not authenticated within negotiation_seconds ends
// with connection-timeout, an authenticated one idle for idle_seconds with
// our stream close; a stream paused for a core is not idle. close: the
// caller releases S.
InboundOutcome inbound_timed_out(InboundHost& host, InboundSession& s);

// The DANE verdict for a resolving session: our header and the features
// (SASL EXTERNAL when VERIFIED, dialback otherwise) go out.
void inbound_dane_result(InboundSession& s, bool verified);

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
