// The fenra-s2s daemon state and its main loop.
//
// S2sServer owns everything the process creates at start-up: the dialback
// secret, the two TLS contexts, the S2S listener, the IPC server and the event
// loop. The main loop routes each kernel event by its registration tag:
//
//     0                      signals (the event's tag is the signal number)
//     -1                     S2S listener
//     -2                     IPC listener
//     -18 ... -3             IPC slot 0 ... 15
//     0x10000 + slot         inbound session 0 ... 255
//     0x20000 + slot         outbound connection 0 ... 127
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/event_loop.h"
#include "runtime/ipc_codec.h"
#include "runtime/ipc_server.h"
#include "runtime/result.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/xmpp/inbound_session.h"

namespace fenra::s2s {

class OutboundRegistry;

inline constexpr int kInboundSlots = 256;
inline constexpr int kOutboundSlots = 128;
inline constexpr size_t kLoopChanges = 32;
inline constexpr size_t kLoopEvents = 64;
inline constexpr size_t kDialbackSecretSize = 32;
inline constexpr int kS2sBacklog = 128;

inline constexpr uint64_t kSignalTag = 0;
inline constexpr uint64_t kS2sListenerTag = static_cast<uint64_t>(-1);
inline constexpr uint64_t kIpcListenerTag = static_cast<uint64_t>(-2);
inline constexpr uint64_t kIpcSlotTagBase = static_cast<uint64_t>(-18);
inline constexpr uint64_t kInboundTagBase = 0x10000;
inline constexpr uint64_t kOutboundTagBase = 0x20000;

constexpr uint64_t inbound_tag(int slot) {
    return kInboundTagBase + static_cast<uint64_t>(slot);
}
constexpr uint64_t outbound_tag(int slot) {
    return kOutboundTagBase + static_cast<uint64_t>(slot);
}

// What a registration tag names. slot is set for ipc_slot, inbound and outbound.
struct TagTarget {
    enum class Kind : uint8_t { none, s2s_listener, ipc_listener, ipc_slot, inbound, outbound };
    Kind kind = Kind::none;
    int slot = -1;
};
TagTarget decode_tag(uint64_t tag);

// An IPv4 dotted quad: four decimal parts 0-255 separated by ".". Returns the
// four address bytes in network order.
std::optional<std::array<uint8_t, 4>> parse_ipv4(std::string_view s);

// A non-blocking IPv4 stream listener with SO_REUSEADDR, bound to address and
// port, listening with a backlog of 128. Errors: InvalidAddress (address
// unparsable), the socket call's own error, PermissionDenied, AddressInUse or
// SystemResources from bind, SystemResources from listen.
Result<int> open_s2s_listener(std::string_view address, uint16_t port);

class S2sServer final : public ipc::Dispatcher, public InboundHost {
  public:
    // Draws the dialback secret and sets up empty tables and an idle IPC server.
    explicit S2sServer(const S2sConfig& config);
    // Releases in this order: inbound sessions, outbound slots, the server then
    // the client TLS context, outbound records, the IPC server (slots,
    // listener, socket path), the S2S listener.
    ~S2sServer() override;
    S2sServer(const S2sServer&) = delete;
    S2sServer& operator=(const S2sServer&) = delete;

    // Start-up, in this order; each writes its own log lines, and a failure
    // leaves the state for the destructor to release.
    Result<void> init_tls();
    Result<void> init_listener();
    Result<void> init_ipc();
    Result<void> init_event_loop();

    // The main loop: waits and routes events until a termination signal
    // clears the running flag. A failed wait is logged and returned.
    Result<void> run();
    // Closes the event loop (shut-down does this before destroying the state).
    void destroy_event_loop() { loop_.reset(); }

    // Each well-formed frame from a core (strings point into the slot's buffer).
    void on_ipc_message(int slot, const ipc::Message& m) override;
    void on_ipc_oversized(int slot, std::span<const uint8_t> head, uint32_t length) override;

    const S2sConfig& config() const { return config_; }
    std::span<const uint8_t, kDialbackSecretSize> dialback_secret() const {
        return dialback_secret_;
    }
    SSL_CTX* server_tls() const { return server_tls_; }
    SSL_CTX* client_tls() const { return client_tls_; }
    int listen_fd() const { return listen_fd_; }
    uint16_t port() const { return port_; }
    bool running() const { return running_; }
    ipc::Server& ipc() { return ipc_; }
    EventLoop& loop() { return *loop_; }

    // ---- core link and outbound side ----
    // The slot the next inbound stanza is offered to first.
    int& forward_cursor() { return forward_cursor_; }
    // DeliveryFailed reports waiting for a core.
    FailedBacklog& failed_backlog() { return failed_backlog_; }
    // The outbound slot table and the sessions by domain.
    OutboundRegistry& outbound() { return *outbound_; }

    // ---- inbound registry ----
    // The session in an inbound slot, or null.
    InboundSession* inbound_session(int slot) {
        return slot >= 0 && slot < kInboundSlots ? inbound_[slot].get() : nullptr;
    }
    int inbound_cursor() const { return inbound_cursor_; }

  private:
    void handle_event(const LoopEvent& ev);
    void on_signal(int signo);
    void on_read(uint64_t tag);
    void on_write(uint64_t tag);

    // The S2S listener is readable: one connection waits to be accepted.
    void accept_inbound();
    // The IPC listener is readable: a core connects.
    void accept_ipc();
    void on_ipc_readable(int slot);
    void on_ipc_writable(int slot);

    // Inbound session events: the session read path and its output flush
    // (with the TLS handshake steps) come here.
    void on_inbound_readable(int slot);
    void on_inbound_writable(int slot);
    // Outbound connection events: the connection's read path, connect
    // completion, TLS handshake steps and output flush come here.
    void on_outbound_readable(int slot);
    void on_outbound_writable(int slot);

    const S2sConfig config_;
    std::array<uint8_t, kDialbackSecretSize> dialback_secret_{};
    SSL_CTX* server_tls_ = nullptr;
    SSL_CTX* client_tls_ = nullptr;
    bool server_tls_owned_ = false;
    bool client_tls_owned_ = false;
    int listen_fd_ = -1;
    uint16_t port_;
    bool running_ = false;
    ipc::Server ipc_;
    std::unique_ptr<EventLoop> loop_;

    // ---- inbound registry ----
    // Releases the slot: parser, log line, TLS close-notify, socket, session.
    void close_inbound(int slot);
    // Shut-down: every session released without a log line.
    void release_inbound();
    // InboundHost
    bool inbound_forward(std::string_view from, std::string_view to,
                         std::string_view stanza) override;
    void inbound_dialback_callback(const InboundSession& session, std::string_view origin,
                                   std::string_view key) override;
    bool inbound_dane_check(const TlsConn& conn, std::string_view domain) override;
    void inbound_want_write(const InboundSession& session) override;
    // A core has room again (it connected or wrote out what it held): the
    // waiting reports go first, then the inbound stanzas that wait.
    void on_core_room();
    // Read interest of an established inbound session, taken away while
    // inbound reading is paused and given back when it resumes.
    void set_inbound_reads(InboundSession& s, bool on);
    void resume_inbound_reads();

    std::unique_ptr<InboundSession> inbound_[kInboundSlots];
    int inbound_cursor_ = 0;  // the next slot to try
    // Inbound stanzas wait for a core: no inbound session is read.
    bool inbound_paused_ = false;

    // ---- core link and outbound side ----
    int forward_cursor_ = 0;
    FailedBacklog failed_backlog_;
    std::unique_ptr<OutboundRegistry> outbound_;
};

// The daemon's main routine (for run_main): the command line, start-up, the
// main loop and the orderly shut-down.
Result<void> s2s_main(int argc, char** argv);

}  // namespace fenra::s2s
