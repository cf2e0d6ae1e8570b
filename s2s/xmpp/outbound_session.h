// Outbound S2S sessions: this daemon's own streams to remote domains, one per
// domain, and the registry that holds them (the 128 socket slots with their
// cursor, and the map by domain that owns the sessions).
//
// A session is made idle by the map, connected by connect_outbound, and then
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

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/result.h"
#include "s2s/core_link.h"
#include "s2s/net/dane.h"
#include "s2s/net/dialer.h"
#include "s2s/net/dns.h"
#include "s2s/net/tls.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/stream_text.h"
#include "s2s/xmpp/xml_parser.h"

namespace fenra::s2s {

class S2sServer;

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

struct OutboundSession {
    std::string local_domain;
    std::string remote_domain;
    uint64_t serial = 0;  // tells a session from a later one in the same slot
    int slot = -1;        // outbound slot while registered

    // Where to connect: the targets of the domain and their connects, the
    // one in use.
    std::unique_ptr<Dialer> dialer;
    size_t target_index = 0;
    std::string target_host;
    uint16_t target_port = 0;
    bool direct_tls = false;

    TlsConn conn;
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

    ReadBuffer rbuf;
    xmpp::WriteQueue wq;
    std::unique_ptr<xmpp::XmlParser> parser;

    // Deadlines (monotonic ms): the slot taken, the last bytes read or
    // stanza queued, what the slot's timer is set for.
    uint64_t started_ms = 0;
    uint64_t active_ms = 0;
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
    // Closes TLS and the socket; pending deliveries go unreported.
    ~OutboundSession();

    bool connected() const { return conn.fd >= 0; }
};

// The outbound slot table and the map by domain.
class OutboundRegistry {
  public:
    static constexpr int kSlots = 128;

    // Each session's write queue holds WRITE_QUEUE bytes.
    explicit OutboundRegistry(size_t write_queue = xmpp::kWriteQueueSize)
        : write_queue_(write_queue) {}
    OutboundRegistry(const OutboundRegistry&) = delete;
    OutboundRegistry& operator=(const OutboundRegistry&) = delete;
    ~OutboundRegistry();

    // The session of DOMAIN; a missing or failed one is replaced by a fresh
    // idle session. OutOfMemory when it cannot be made.
    Result<OutboundSession*> get(std::string_view domain, std::string_view local_domain);
    OutboundSession* find(std::string_view domain);

    OutboundSession* at(int slot) const {
        return slot >= 0 && slot < kSlots ? slots_[static_cast<size_t>(slot)] : nullptr;
    }
    // The first free slot from the cursor on, which then moves past it; -1
    // when every slot is taken.
    int take_slot(OutboundSession& s);
    bool has_free_slot() const { return used_ < kSlots; }
    void release_slot(OutboundSession& s);
    // Removes S from the map and frees it (its slot must be released).
    void erase(OutboundSession& s);

    // Before the event loop goes: every dial's connects closed and lookups
    // dropped.
    void cancel_dials();
    // Shut-down: every slot's parser freed and the slot cleared (the
    // sessions themselves go with the registry, without any report).
    void release_slots();
    size_t size() const { return by_domain_.size(); }
    int cursor() const { return cursor_; }

  private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::array<OutboundSession*, kSlots> slots_{};
    size_t write_queue_;
    int cursor_ = 0;
    int used_ = 0;
    uint64_t serial_ = 0;
    std::unordered_map<std::string, std::unique_ptr<OutboundSession>, Hash, std::equal_to<>>
        by_domain_;
};

// Appends a delivery to S's queue and acts on its state: an idle session
// starts connecting, an established one writes at once, others wait. The
// delivery is reported when it cannot be queued ("resource-constraint" when
// the most deliveries the configuration allows already wait). S may be failed afterwards
// (a connection that failed at once), but it still exists.
void queue_delivery(S2sServer& server, OutboundSession& s, PendingDelivery&& d);

// Writes the pending deliveries in order while they fit the write queue;
// the rest stay pending and go out as the queue drains.
void flush_pending(S2sServer& server, OutboundSession& s);

// Puts S into its failed state with REASON: the pending deliveries are
// reported, waiting callbacks answered invalid, and a registered session is
// closed (and freed). An unregistered one stays failed in the map.
void fail_outbound(S2sServer& server, OutboundSession& s, std::string_view reason);

// Releases slot's session: parser, TLS, socket, pending deliveries (not
// reported here), the map entry. Nothing when the slot is empty.
void close_outbound(S2sServer& server, int slot);

// S is connected (connect.cc): direct TLS starts, or the stream header goes
// out.
void on_connected(S2sServer& server, OutboundSession& s);

// Event handlers of the main loop for outbound slot SLOT.
void outbound_readable(S2sServer& server, int slot);
void outbound_writable(S2sServer& server, int slot);

// The slot's timer fired: callbacks unanswered for dialback_timeout are
// answered invalid; before the stream is established, deliveries queued for
// delivery_timeout are reported "remote-server-timeout", a connect that took
// connect_timeout moves on to the next target, and a session not established
// within negotiation_timeout fails with "remote-server-timeout"; an
// established stream with nothing sent or read for outbound_idle_timeout is
// closed with our stream close (the next delivery opens a new one).
void outbound_timed_out(S2sServer& server, int slot);
// Sets the slot's timer for S's nearest deadline when that is earlier than
// the one it is set for.
void outbound_deadline_update(S2sServer& server, OutboundSession& s);

// Whether db:verify elements may be written on S now.
bool verifies_allowed(const OutboundSession& s);

// Dialback callbacks carried by S. Adds one (an established session sends its
// db:verify at once; an idle one starts connecting).
void add_callback(S2sServer& server, OutboundSession& s, PendingCallback&& cb);

}  // namespace fenra::s2s
