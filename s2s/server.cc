#include "s2s/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/log.h"
#include "s2s/core_link.h"
#include "s2s/net/dane.h"
#include "s2s/net/tls_context.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/outbound_registry.h"

namespace fenra::s2s {
namespace {

void write_all(int fd, std::string_view s) {
    while (!s.empty()) {
        const ssize_t n = ::write(fd, s.data(), s.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        s.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

void ServerEvents::on_event(const LoopEvent& ev) {
    if (ev.kind == EventKind::read || ev.kind == EventKind::signal) (server_->*readable_)(ev.signo);
}

S2sServer::S2sServer(const S2sConfig& config)
    : config_(config),
      port_(config.port),
      core_(config.max_stanza_size, *this),
      outbound_(std::make_unique<OutboundRegistry>(config.max_stanza_size + kWriteQueueSize)) {
    // Drawn once per process start; dialback keys derive from it, nothing
    // ever writes it anywhere.
    arc4random_buf(dialback_secret_.data(), kDialbackSecretSize);
    running_ = true;
    listener_events_.bind(this, &S2sServer::on_listener);
    resolver_events_.bind(this, &S2sServer::on_resolver);
    signal_events_.bind(this, &S2sServer::on_signal);
}

void S2sServer::destroy_event_loop() {
    // Connects in flight and TLSA lookups hold registrations and timers.
    if (outbound_) outbound_->cancel_dials();
    for (auto& s : inbound_)
        if (s) s->dane_lookup.reset();
    loop_.reset();
}

S2sServer::~S2sServer() {
    destroy_event_loop();
    // Inbound sessions go first (each parser, then the session with its TLS
    // close-notify and socket), then the outbound slots.
    release_inbound();
    outbound_->release_slots();
    if (server_tls_owned_) SSL_CTX_free(server_tls_);
    if (client_tls_owned_) SSL_CTX_free(client_tls_);
    server_tls_ = client_tls_ = nullptr;
    server_tls_owned_ = client_tls_owned_ = false;
    // The outbound records of the map by domain (their queues, TLS and
    // sockets) are released here, then the map itself.
    outbound_.reset();
    core_.stop();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    OPENSSL_cleanse(dialback_secret_.data(), dialback_secret_.size());
}

Result<void> S2sServer::init_dialback_secret() {
    if (!config_.dialback_secret_file) return {};
    const std::string_view path = *config_.dialback_secret_file;
    const std::string p(path);
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log::error(kLogScope,
                   {"cannot open dialback secret file ", path, ": ", error_from_errno(errno)});
        return Error::InvalidArgs;
    }
    struct stat st {};
    std::array<uint8_t, kDialbackSecretFileMax + 2> buf{};
    size_t n = 0;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (ok && n < buf.size()) {
        const ssize_t r = ::read(fd, buf.data() + n, buf.size() - n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        n += static_cast<size_t>(r);
    }
    ::close(fd);
    if (n > 0 && buf[n - 1] == '\n') --n;
    std::string_view problem;
    if (!ok)
        problem = " cannot be read as a regular file";
    else if ((st.st_mode & 077) != 0)
        problem = " grants access to group or others (its mode & 077 must be 0)";
    else if (n < kDialbackSecretSize)
        problem = " holds fewer than 32 bytes";
    else if (n > kDialbackSecretFileMax)
        problem = " holds more than 1024 bytes";
    if (!problem.empty()) {
        OPENSSL_cleanse(buf.data(), buf.size());
        log::error(kLogScope, {"dialback secret file ", path, problem});
        return Error::InvalidArgs;
    }
    std::memcpy(dialback_secret_.data(), buf.data(), n);
    dialback_secret_size_ = n;
    OPENSSL_cleanse(buf.data(), buf.size());
    log::info(kLogScope, {"dialback secret read from ", path});
    return {};
}

Result<void> S2sServer::init_tls() {
    const auto& cert = config_.cert_path;
    const auto& key = config_.key_path;
    if (cert) {
        if (!key) {
            log::error(kLogScope, {"--cert requires --key"});
            return Error::InvalidArgs;
        }
        log::info(kLogScope, {"TLS configured: cert=", *cert, " key=", *key});
        auto ctx = create_server_tls_context(*cert, *key);
        if (!ctx) {
            log::error(kLogScope, {"failed to initialize TLS context: ", ctx.error()});
            return Error::InvalidArgs;
        }
        server_tls_ = *ctx;
        server_tls_owned_ = true;
    } else {
        // Inbound streams must be encrypted before they can be established,
        // and without a certificate no inbound STARTTLS can be carried out.
        log::warn(kLogScope, {"no --cert specified, inbound federation is disabled"});
    }
    auto client = create_client_tls_context(cert, key);
    if (!client) {
        log::error(kLogScope, {"failed to initialize client TLS context: ", client.error()});
        return client.error();
    }
    client_tls_ = *client;
    client_tls_owned_ = true;
    return {};
}

Result<void> S2sServer::init_resolver() {
    ResolverConfig rc;
    try {
        for (std::string_view ns : config_.dns_servers)
            rc.nameservers.emplace_back(ns);
        if (config_.dns_trust_anchor) rc.trust_anchor = *config_.dns_trust_anchor;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    auto r = Resolver::create(rc);
    if (!r) {
        if (r.error() == Error::NoTrustAnchor)
            log::error(kLogScope, {"DNSSEC trust anchor ", rc.trust_anchor, " cannot be used"});
        else
            log::error(kLogScope, {"failed to set up the resolver: ", r.error()});
        return r.error();
    }
    resolver_ = std::move(*r);
    if (resolver_->validating())
        log::info(kLogScope, {"DNSSEC validation from trust anchor ", resolver_->trust_anchor()});
    else
        log::warn(kLogScope, {"no DNSSEC trust anchor could be read: every DNS answer counts as "
                              "insecure, DANE is off (dialback still works)"});
    return {};
}

void S2sServer::on_resolver(int) {
    if (auto ok = resolver_->process(); !ok)
        log::error(kLogScope, {"resolver failed to process answers: ", ok.error()});
}

Result<void> S2sServer::init_listener() {
    if (config_.listen_fd) {
        // Not validated: a bad descriptor fails its registration with the
        // event loop. It is made non-blocking, though: a connection that goes
        // away between readiness and accept would otherwise block the daemon
        // in accept on a system that drops it from the queue.
        listen_fd_ = *config_.listen_fd;
        if (listen_fd_ >= 0) {
            const int flags = fcntl(listen_fd_, F_GETFL);
            if (flags != -1 && !(flags & O_NONBLOCK))
                (void)fcntl(listen_fd_, F_SETFL, flags | O_NONBLOCK);
        }
        log::info(kLogScope, {"S2S using inherited listener fd=", listen_fd_, " port=", port_});
        return {};
    }
    auto fd = open_s2s_listener(config_.bind_address, port_);
    if (!fd) {
        log::error(kLogScope, {"failed to bind S2S listener: ", fd.error()});
        return fd.error();
    }
    listen_fd_ = *fd;
    log::info(kLogScope, {"S2S listener on ", config_.bind_address, ":", port_});
    return {};
}

Result<void> S2sServer::init_ipc() {
    if (!config_.core_socket) {
        log::warn(kLogScope, {"no --core-socket specified, running without core IPC"});
        return {};
    }
    const std::string_view path = *config_.core_socket;
    if (auto r = core_.start(path); !r) {
        log::error(kLogScope, {"failed to start IPC server: ", r.error()});
        return r.error();
    }
    // The IPC server wrote its own "IPC server listening on" line.
    log::info(kLogScope, {"IPC server on ", path});
    return {};
}

Result<void> S2sServer::init_event_loop() {
    auto loop = EventLoop::create(kLoopEvents);
    if (!loop) return loop.error();
    loop_ = std::move(*loop);
    if (listen_fd_ >= 0) FENRA_TRY(loop_->add(listen_fd_, listener_events_));
    FENRA_TRY(core_.attach(*loop_));
    if (resolver_) FENRA_TRY(loop_->add(resolver_->fd(), resolver_events_));
    FENRA_TRY(loop_->watch_signal(SIGTERM, signal_events_));
    FENRA_TRY(loop_->watch_signal(SIGINT, signal_events_));
    return {};
}

Result<void> S2sServer::run() {
    while (running_) {
        if (auto r = loop_->run_once(); !r) {
            log::error(kLogScope, {"event loop poll failed: ", r.error(), ", shutting down"});
            running_ = false;
            return r.error();
        }
    }
    return {};
}

void S2sServer::on_signal(int signo) {
    if (signo != SIGINT && signo != SIGTERM) return;
    log::info(kLogScope, {"received signal ", signo, ", shutting down"});
    running_ = false;
}

void S2sServer::accept_inbound() {
    if (listen_fd_ < 0) return;
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // the kernel reports the listener again while connections wait
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    AddressKey key;
    char address[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
        key.low = ntohl(a.s_addr);
        inet_ntop(AF_INET, &a, address, sizeof address);
    } else if (peer.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        std::memcpy(&key.high, a.s6_addr, 8);
        key.low = UINT64_MAX;  // never an IPv4 key
        inet_ntop(AF_INET6, &a, address, sizeof address);
    }
    const int slot = inbound_slot_for(key, address);
    if (slot < 0) {
        ::close(fd);
        return;
    }
    inbound_cursor_ = (slot + 1) % kInboundSlots;

    const InboundContext context{config_.host,
                                 dialback_secret(),
                                 server_tls_,
                                 config_.max_stanza_size,
                                 config_.inbound_idle_timeout,
                                 config_.negotiation_timeout,
                                 config_.close_timeout};
    std::unique_ptr<InboundSession> s(new (std::nothrow) InboundSession(slot, fd, context));
    if (!s) {
        ::close(fd);
        return;
    }
    s->parser.reset(new (std::nothrow) xmpp::XmlParser());
    if (!s->parser || !s->stanza.content.data || !s->stream.wq.data ||
        !inbound_attach(*this, *s, *loop_)) {
        s->stream.close();
        return;
    }
    s->set_stream_id();
    s->serial = ++inbound_serial_;
    inbound_[slot] = std::move(s);
    inbound_origin_[slot] = InboundOrigin{++accept_order_, key};
    log::info(kLogScope, {"accepted inbound S2S connection id=", slot, " fd=", fd});
}

int S2sServer::inbound_slot_for(const AddressKey& key, std::string_view address) {
    uint32_t negotiating = 0;
    int oldest = -1;
    for (int i = 0; i < kInboundSlots; ++i) {
        if (!inbound_[i] || inbound_[i]->auth_domain_count > 0) continue;
        if (inbound_origin_[i].address == key) ++negotiating;
        if (oldest < 0 || inbound_origin_[i].order < inbound_origin_[oldest].order) oldest = i;
    }
    if (negotiating >= config_.max_unauthenticated_per_address) {
        log::warn(kLogScope, {"inbound S2S connection from ", address, " refused: ", negotiating,
                              " connections from that address are not authenticated yet"});
        return -1;
    }
    // Slots are handed out round-robin from the cursor, not lowest-first.
    for (int i = 0; i < kInboundSlots; ++i) {
        const int n = (inbound_cursor_ + i) % kInboundSlots;
        if (!inbound_[n]) return n;
    }
    if (oldest < 0) {
        log::warn(kLogScope, {"inbound S2S session limit reached"});
        return -1;
    }
    log::warn(kLogScope, {"inbound S2S session limit reached, id=", oldest,
                          " not authenticated yet gives way to a connection from ", address});
    (void)inbound_end_stream(*this, *inbound_[oldest], false);
    close_inbound(oldest);
    return oldest;
}

void S2sServer::core_room() {
    if (!inbound_paused_) return;
    // The waiting sessions in slot order, from the cursor on, while cores take
    // their stanzas.
    for (int i = 0; i < kInboundSlots; ++i) {
        const int slot = (inbound_cursor_ + i) % kInboundSlots;
        InboundSession* s = inbound_[slot].get();
        if (!s || !s->stanza_waiting) continue;
        if (inbound_resume(*this, *s) == InboundOutcome::close) {
            close_inbound(slot);
            continue;
        }
        if (s->stanza_waiting) return;  // still no room
    }
    inbound_paused_ = false;
    resume_inbound_reads();
}

void S2sServer::core_delivery(std::string_view domain, PendingDelivery&& d) {
    auto session = outbound_->get(domain, config_.host);
    if (!session) {
        core_.deliver_failed(d.from, d.to, condition::kInternalError);
        return;
    }
    queue_delivery(*this, **session, std::move(d));
}

// ---- inbound registry ----

void S2sServer::resume_inbound_reads() {
    for (int slot = 0; slot < kInboundSlots; ++slot) {
        InboundSession* s = inbound_[slot].get();
        if (!s || !s->reads_off) continue;
        inbound_set_reads(*s, true);
        // Bytes the TLS library decrypted earlier are announced by no event.
        if (tls_has_pending(s->stream.conn)) inbound_event(*s, EventKind::read);
    }
}

void S2sServer::close_inbound(int slot) {
    std::unique_ptr<InboundSession> s = std::move(inbound_[slot]);
    if (!s) return;
    s->parser.reset();
    log::info(kLogScope, {"closing inbound S2S session id=", slot});
    s->stream.close(loop_ != nullptr);
}

void S2sServer::release_inbound() {
    for (auto& s : inbound_) {
        if (!s) continue;
        s->parser.reset();
        s->stream.close(false);
        s.reset();
    }
}

bool S2sServer::inbound_forward(std::string_view from, std::string_view to,
                                std::string_view stanza) {
    if (core_.forward_inbound(from, to, stanza)) return true;
    if (!core_.has_socket()) {
        // Without a core socket no core can ever take it.
        log::warn(kLogScope, {"no core socket, inbound stanza dropped: from=", from});
        return true;
    }
    if (!inbound_paused_) {
        log::warn(kLogScope, {"no core can take inbound stanzas now, inbound reading paused"});
        inbound_paused_ = true;
    }
    return false;
}

void S2sServer::inbound_dialback_callback(const InboundSession& session, std::string_view origin,
                                          std::string_view key) {
    request_dialback_callback(*this, session.slot, session.stream_id(), origin, key);
}

void S2sServer::inbound_dane_lookup(InboundSession& s, std::string_view domain) {
    s.dane_lookup.reset(new (std::nothrow) TargetLookup(*resolver_));
    const int slot = s.slot;
    const uint64_t serial = s.serial;
    auto started =
        !s.dane_lookup
            ? Result<bool>(Error::OutOfMemory)
            : s.dane_lookup->peer_tlsa(
                  domain, [this, slot, serial](DaneTlsa use, std::vector<TlsaRecord>&& records) {
                      InboundSession* s = inbound_session(slot);
                      if (s == nullptr || s->serial != serial) return;
                      const bool ok =
                          dane_check_inbound(use, records, s->stream.conn, s->remote_domain.view());
                      inbound_dane_result(*s, ok);
                  });
    if (!started) {
        log::warn(kLogScope, {"inbound DANE for ", domain, ": no TLSA lookup (", started.error(),
                              "), will offer dialback"});
        inbound_dane_result(s, false);
    } else if (!*started) {
        inbound_dane_result(s, false);  // an address literal: no DANE
    }
}

void S2sServer::inbound_close(InboundSession& session) {
    close_inbound(session.slot);
}

void S2sServer::dialback_verdict(int inbound_slot, std::string_view stream_id,
                                 std::string_view origin, bool valid) {
    InboundSession* s = inbound_session(inbound_slot);
    if (!s || s->stream_id() != stream_id) {
        log::warn(kLogScope, {"dialback callback: inbound session ", inbound_slot, " gone"});
        return;
    }
    apply_verdict(*s, origin, valid);
}

// ---- end of inbound registry ----

Result<void> s2s_main(int argc, char** argv) {
    auto cl = parse_command_line(argc, argv);
    if (!cl) return cl.error();
    if (cl->help) {
        write_all(1, kUsage);
        return {};
    }
    const S2sConfig& config = cl->config;
    log::set_level(config.log_level);
    log::set_traffic_lines(config.stanza_log);
    log::info(kLogScope, {"fenra-s2s starting host=", config.host, " port=", config.port,
                          " listen_fd=", config.listen_fd});

    auto server = std::make_unique<S2sServer>(config);
    FENRA_TRY(server->init_dialback_secret());
    FENRA_TRY(server->init_tls());
    FENRA_TRY(server->init_listener());
    FENRA_TRY(server->init_ipc());
    FENRA_TRY(server->init_resolver());
    FENRA_TRY(server->init_event_loop());

    log::info(kLogScope, {"fenra-s2s event loop started"});
    const Result<void> ran = server->run();

    log::info(kLogScope, {"fenra-s2s shutdown complete"});
    server->destroy_event_loop();
    server.reset();
    return ran;
}

}  // namespace fenra::s2s
