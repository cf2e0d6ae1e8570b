// Outbound S2S sessions: this daemon's own streams to remote domains, one per
// domain, held by the registry (outbound_registry.h).
//
// A session is made idle by the registry, connected by connect_outbound, and then
// negotiates: stream header, STARTTLS (or direct TLS), the DANE check, SASL
// EXTERNAL when DANE verified the certificate and dialback otherwise. Once
// established, the deliveries queued by the core are written in order.
//
// A session that fails reports each delivery still pending, and each one
// whose bytes were not all written, to the cores with its failure word and answers each dialback
// callback still waiting on it as invalid. A failure inside connect_outbound leaves the failed
// session in the map (the next request for its domain replaces it); every later failure closes it
// at once, which frees it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/event_loop.h"
#include "runtime/result.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/net/dane.h"
#include "s2s/net/dialer.h"
#include "s2s/net/dns.h"
#include "s2s/net/resolver.h"
#include "s2s/net/stream.h"
#include "s2s/net/tls.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/stream_text.h"
#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

class OutboundRegistry;

inline constexpr size_t kRemoteStreamIdMax = 64;
inline constexpr size_t kOutboundElementSize = 512;
// The longest local domain whose base64 form fits the EXTERNAL element.
inline constexpr size_t kExternalDomainMax = 192;
// The longest SASL mechanism name read from the peer's features.
inline constexpr size_t kMechanismNameMax = 20;

enum class ConnState : uint8_t {
    connecting = 0,
    tls_handshaking = 1,
    tls_up = 2,
    stream_opening = 3,
    starttls_requested = 4,
    authenticating = 5,
    established = 6,
    failed = 7,
    resolving = 8,  // DNS: the targets and their addresses, or (connected) the TLSA records
    closing = 9,    // our stream close sent, the peer's awaited; out of the map by domain
};

// How far the stream negotiation has come.
enum class NegoState : uint8_t {
    before_header = 0,
    header = 1,
    tls_done = 3,
    restarted = 4,
    auth_pending = 5,
    authenticated = 6,
};

// Which authentication this session runs for its own domain.
enum class AuthStep : uint8_t {
    none,
    external_deferred,  // EXTERNAL waits for the callbacks' answers
    external_sent,
    dialback_sent,
};

class OutboundHost;

struct OutboundSession {
    std::string local_domain;
    std::string remote_domain;
    uint64_t serial = 0;           // tells a session from a later one in the same slot
    int slot = -1;                 // outbound slot while registered
    OutboundHost* host = nullptr;  // from the slot on: its stream's events go there

    // Where to connect: the targets of the domain and their connects, the
    // one in use.
    std::unique_ptr<Dialer> dialer;
    size_t target_index = 0;
    std::string target_host;
    uint16_t target_port = 0;
    bool direct_tls = false;

    Stream stream;  // the connection: socket, TLS, read buffer, write queue
    ConnState state = ConnState::connecting;
    NegoState nego = NegoState::before_header;
    AuthStep auth = AuthStep::none;
    bool sasl_authenticated = false;
    bool restart_pending = false;  // after SASL success, until the new features
    // The peer's features being read, and whether they offer SASL EXTERNAL.
    bool in_features = false;
    bool in_mechanism = false;
    bool external_offered = false;
    std::string mechanism;
    DaneStatus dane = DaneStatus::none;
    bool dane_verified = false;
    std::string remote_stream_id;
    std::string_view failure_reason;
    bool peer_error = false;  // the peer sent a stream error
    // The largest stanza the peer takes, as its stream features announce it
    // (0: not announced); larger deliveries are refused "policy-violation".
    uint32_t peer_max_bytes = 0;
    bool in_max_bytes = false;  // reading the text of that announcement
    // What the deliveries lost with the stream are reported with when the
    // peer ends it: "read-failed", or "policy-violation" when its stream
    // error said so (a stanza over its limit).
    std::string_view peer_close_reason = condition::kReadFailed;

    std::unique_ptr<xmpp::XmlParser> parser;

    // Deadlines (monotonic ms): the slot taken (closing: our close sent),
    // the last bytes read or stanza queued, the TCP connect to the target in
    // use, what the slot's timer is set for.
    uint64_t started_ms = 0;
    uint64_t active_ms = 0;
    uint64_t connected_ms = 0;
    uint64_t timer_due_ms = 0;

    DeliveryQueue pending;
    // Deliveries moved into the write queue, with the count of bytes written
    // over the queue's life once their last byte is out.
    struct InFlight {
        std::string from;
        std::string to;
        uint64_t end;
    };
    std::deque<InFlight> in_flight;
    bool callback = false;  // once marked, always a callback session
    std::vector<PendingCallback> callbacks;

    OutboundSession() = default;
    OutboundSession(const OutboundSession&) = delete;
    OutboundSession& operator=(const OutboundSession&) = delete;
    // Closes TLS and the socket (with the stream); pending deliveries go
    // unreported.
    ~OutboundSession() = default;

    bool connected() const { return stream.conn.fd >= 0; }
};

// What an outbound session needs from the daemon.
class OutboundHost {
  public:
    virtual ~OutboundHost() = default;
    virtual const S2sConfig& config() const = 0;
    virtual EventLoop& loop() = 0;
    virtual Resolver& resolver() = 0;
    // Null when no client TLS context could be made.
    virtual SSL_CTX* client_tls() const = 0;
    virtual std::span<const uint8_t> dialback_secret() const = 0;
    // Where DeliveryFailed reports go.
    virtual CoreLink& core() = 0;
    // The outbound slots and the sessions by domain.
    virtual OutboundRegistry& outbound() = 0;
    // A dialback callback's verdict for the inbound session in INBOUND_SLOT,
    // applied only if that slot still holds a session with STREAM_ID.
    virtual void dialback_verdict(int inbound_slot, std::string_view stream_id,
                                  std::string_view origin, bool valid) = 0;
};

// Appends a delivery to S's queue and acts on its state: an idle session
// starts connecting, an established one writes at once, others wait. The
// delivery is reported when it cannot be queued ("resource-constraint" when
// the most deliveries the configuration allows already wait). S may be failed afterwards
// (a connection that failed at once), but it still exists.
void queue_delivery(OutboundHost& host, OutboundSession& s, PendingDelivery&& d);

// Writes the pending deliveries in order while they fit the write queue;
// the rest stay pending and go out as the queue drains.
void flush_pending(OutboundHost& host, OutboundSession& s);

// Puts S into its failed state with REASON: the pending deliveries are
// reported, waiting callbacks answered invalid, and a registered session is
// closed (and freed). An unregistered one stays failed in the map.
void fail_outbound(OutboundHost& host, OutboundSession& s, std::string_view reason);

// Releases slot's session: parser, TLS, socket, pending deliveries (not
// reported here), the map entry. Nothing when the slot is empty.
void close_outbound(OutboundHost& host, int slot);

// S is connected (connect.cc): direct TLS starts, or the stream header goes
// out.
void on_connected(OutboundHost& host, OutboundSession& s);

// An event of S's stream (bound when S took its slot): readable, writable,
// or its deadline timer.
void outbound_event(OutboundSession& s, EventKind kind);

// S's deadline timer fired: callbacks unanswered for dialback_timeout are
// answered invalid; before the stream is established, deliveries queued for
// delivery_timeout are reported "remote-server-timeout", a connect, or the
// TLS after it, that took connect_timeout moves on to the next target, and a
// session not established within negotiation_timeout fails with
// "remote-server-timeout"; an established stream with nothing sent or read
// for outbound_idle_timeout is closed with our stream close (the next
// delivery opens a new one), and its connection when the peer's close has not
// come within close_timeout.
void outbound_timed_out(OutboundHost& host, OutboundSession& s);
// Sets S's deadline timer for its nearest deadline when that is earlier than
// the one it is set for.
void outbound_deadline_update(OutboundHost& host, OutboundSession& s);

// Whether db:verify elements may be written on S now.
bool verifies_allowed(const OutboundSession& s);

// Dialback callbacks carried by S. Adds one (an established session sends its
// db:verify at once; an idle one starts connecting).
void add_callback(OutboundHost& host, OutboundSession& s, PendingCallback&& cb);

}  // namespace fenra::s2s
