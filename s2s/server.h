// The fenra-s2s daemon state and its main loop.
//
// S2sServer owns everything the process creates at start-up: the dialback
// secret, the two TLS contexts, the S2S listener, the IPC server and the event
// loop. The S2S listener, the resolver and the signals each name a small
// handler that calls the server's function for its kind; each connection's
// stream is its own registration and reports to its session; the IPC server
// handles its own.
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
#include "runtime/result.h"
#include "s2s/clock.h"
#include "s2s/command_line.h"
#include "s2s/core_link.h"
#include "s2s/net/listener.h"
#include "s2s/net/resolver.h"
#include "s2s/xmpp/inbound_session.h"
#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {

inline constexpr int kInboundSlots = 256;
inline constexpr int kOutboundSlots = 128;
inline constexpr size_t kLoopEvents = 64;
inline constexpr size_t kDialbackSecretSize = 32;  // drawn at random
// A secret file holds at least kDialbackSecretSize bytes, at most this many.
inline constexpr size_t kDialbackSecretFileMax = 1024;

class S2sServer;

// Routes the read events of a server-wide registration (the S2S listener,
// the resolver) to a server function, and a signal's with its number.
class ServerEvents final : public LoopHandler {
  public:
    using Fn = void (S2sServer::*)(int signo);
    void bind(S2sServer* server, Fn readable) {
        server_ = server;
        readable_ = readable;
    }
    void on_event(const LoopEvent& ev) override;

  private:
    S2sServer* server_ = nullptr;
    Fn readable_ = nullptr;
};

class S2sServer final : public CoreLinkHandler, public InboundHost, public OutboundHost {
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
    // With --dialback-secret-file, the secret becomes the file's bytes (one
    // trailing newline removed); the file must grant nothing to group or
    // others and hold at least kDialbackSecretSize bytes.
    Result<void> init_dialback_secret();
    Result<void> init_tls();
    // The resolver from --dns-server and --dns-trust-anchor: a named anchor
    // that cannot be used fails start-up; without a usable system root key
    // a warning, and DANE stays off (every answer insecure).
    Result<void> init_resolver();
    Result<void> init_listener();
    Result<void> init_ipc();
    Result<void> init_event_loop();

    // The main loop: waits and routes events until a termination signal
    // clears the running flag. A failed wait is logged and returned.
    Result<void> run();
    // Closes the event loop (shut-down does this before destroying the state).
    void destroy_event_loop();

    const S2sConfig& config() const override { return config_; }
    std::span<const uint8_t> dialback_secret() const override {
        return {dialback_secret_.data(), dialback_secret_size_};
    }
    SSL_CTX* server_tls() const { return server_tls_; }
    SSL_CTX* client_tls() const override { return client_tls_; }
    int listen_fd() const { return listen_fd_; }
    uint16_t port() const { return port_; }
    bool running() const { return running_; }
    CoreLink& core() override { return core_; }
    EventLoop& loop() override { return *loop_; }
    Resolver& resolver() override { return *resolver_; }

    // ---- outbound side ----
    // The outbound slot table and the sessions by domain.
    OutboundRegistry& outbound() override { return *outbound_; }

    // ---- inbound registry ----
    // The session in an inbound slot, or null.
    InboundSession* inbound_session(int slot) {
        return slot >= 0 && slot < kInboundSlots ? inbound_[slot].get() : nullptr;
    }
    int inbound_cursor() const { return inbound_cursor_; }
    // A dialback callback's verdict for the inbound session in INBOUND_SLOT,
    // applied only if that slot still holds a session with STREAM_ID.
    void dialback_verdict(int inbound_slot, std::string_view stream_id, std::string_view origin,
                          bool valid) override;

  private:
    friend class ServerEvents;
    void on_listener(int /*signo*/) { accept_inbound(); }
    // The resolver's descriptor is readable: finished lookups run their callbacks.
    void on_resolver(int /*signo*/);
    void on_signal(int signo);

    // The S2S listener is readable: one connection waits to be accepted.
    void accept_inbound();

    const S2sConfig config_;
    std::array<uint8_t, kDialbackSecretFileMax> dialback_secret_{};
    size_t dialback_secret_size_ = kDialbackSecretSize;
    SSL_CTX* server_tls_ = nullptr;
    SSL_CTX* client_tls_ = nullptr;
    bool server_tls_owned_ = false;
    bool client_tls_owned_ = false;
    int listen_fd_ = -1;
    uint16_t port_;
    bool running_ = false;
    CoreLink core_;
    std::unique_ptr<EventLoop> loop_;
    std::unique_ptr<Resolver> resolver_;
    ServerEvents listener_events_;
    ServerEvents resolver_events_;
    ServerEvents signal_events_;

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
    void inbound_dane_lookup(InboundSession& s, std::string_view domain) override;
    bool inbound_paused() const override { return inbound_paused_; }
    void inbound_close(InboundSession& session) override;
    // CoreLinkHandler. A delivery request goes to its domain's outbound
    // session; when a core has room again, the inbound stanzas that wait go.
    void core_delivery(std::string_view domain, PendingDelivery&& d) override;
    void core_room() override;
    // Inbound reading resumes: read interest given back to every session.
    void resume_inbound_reads();

    // Where a connection comes from: an IPv4 address, or the /64 of an IPv6 one.
    struct AddressKey {
        uint64_t high = 0;
        uint64_t low = 0;
        bool operator==(const AddressKey&) const = default;
    };
    // Where an inbound slot's connection came from, and when among all.
    struct InboundOrigin {
        uint64_t order = 0;  // accept order
        AddressKey address;
    };
    // A slot for a new connection from KEY (ADDRESS for the log), or -1 (the
    // connection is refused): at most max_unauthenticated_per_address from one
    // address, and with every slot taken the oldest unauthenticated session
    // gives way.
    int inbound_slot_for(const AddressKey& key, std::string_view address);

    std::unique_ptr<InboundSession> inbound_[kInboundSlots];
    InboundOrigin inbound_origin_[kInboundSlots];
    uint64_t accept_order_ = 0;
    int inbound_cursor_ = 0;  // the next slot to try
    uint64_t inbound_serial_ = 0;
    // Inbound stanzas wait for a core: no inbound session is read.
    bool inbound_paused_ = false;

    // ---- outbound side ----
    std::unique_ptr<OutboundRegistry> outbound_;
};

// The daemon's main routine (for run_main): the command line, start-up, the
// main loop and the orderly shut-down.
Result<void> s2s_main(int argc, char** argv);

}  // namespace fenra::s2s
