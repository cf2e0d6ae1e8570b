// An inbound session on one end of a socket pair, a peer on the other end
// (plain, then TLS after STARTTLS), and a host that records what the session
// asks of the daemon.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "runtime/event_loop.h"
#include "s2s/clock.h"
#include "s2s/net/tls_context.h"
#include "s2s/xmpp/inbound_session.h"
#include "tests/auth/log_capture.h"
#include "tests/net/test_certs.h"

namespace fenra::s2s::testing {

struct FakeHost final : InboundHost {
    struct Forwarded {
        std::string from, to, stanza;
    };
    struct Callback {
        int slot;
        std::string stream_id, origin, key;
    };

    std::vector<Forwarded> forwarded;
    std::vector<Callback> callbacks;
    std::vector<std::string> dane_checks;
    bool dane_result = false;
    int closes = 0;
    bool core_has_room = true;  // false: stanzas wait

    bool inbound_forward(std::string_view from, std::string_view to,
                         std::string_view stanza) override {
        if (!core_has_room) return false;
        forwarded.push_back({std::string(from), std::string(to), std::string(stanza)});
        return true;
    }
    void inbound_dialback_callback(const InboundSession& s, std::string_view origin,
                                   std::string_view key) override {
        callbacks.push_back(
            {s.slot, std::string(s.stream_id()), std::string(origin), std::string(key)});
    }
    // Answers at once, with dane_result.
    void inbound_dane_lookup(InboundSession& s, std::string_view domain) override {
        dane_checks.emplace_back(domain);
        inbound_dane_result(s, dane_result);
    }
    void inbound_close(InboundSession&) override { ++closes; }
};

inline const std::string kHeaderOpen =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
    "xmlns:stream='http://etherx.jabber.org/streams' xmlns:db='jabber:server:dialback' from='";

// The peer's stream header.
inline std::string peer_header(const std::string& from = "b.example",
                               const std::string& extra = "") {
    return "<stream:stream xmlns='jabber:server' xmlns:stream='http://etherx.jabber.org/streams' "
           "xmlns:db='jabber:server:dialback'" +
           extra + " from='" + from + "' to='a.example' version='1.0'>";
}

// Our answer to it.
inline std::string our_header(const InboundSession& s, const std::string& to = "b.example") {
    return kHeaderOpen + "a.example' to='" + to + "' id='" + std::string(s.stream_id()) +
           "' version='1.0'>";
}

inline const std::string kStarttlsFeatures =
    "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'><required/></starttls>"
    "</stream:features>";
inline const std::string kLimits =
    "<limits xmlns='urn:xmpp:stream-limits:0'><max-bytes>65535</max-bytes></limits>";
inline const std::string kDialbackFeatures =
    "<stream:features><db:features><db:dialback/></db:features>" + kLimits + "</stream:features>";
inline const std::string kExternalFeatures =
    "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
    "<mechanism>EXTERNAL</mechanism></mechanisms>" +
    kLimits + "</stream:features>";
inline const std::string kEstablishedFeatures =
    "<stream:features>" + kLimits + "</stream:features>";
inline const std::string kProceed = "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>";

inline std::string stream_error(const std::string& condition, const std::string& text = "") {
    const std::string ns = " xmlns='urn:ietf:params:xml:ns:xmpp-streams'";
    return "<stream:error><" + condition + ns + "/>" +
           (text.empty() ? "" : "<text" + ns + ">" + text + "</text>") +
           "</stream:error></stream:stream>";
}

class SessionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

    void SetUp() override {
        for (size_t i = 0; i < secret_.size(); ++i)
            secret_[i] = static_cast<uint8_t>(i * 7 + 1);
        auto pair = test::socket_pair();
        peer_.fd = pair.b;
        make_session(pair.a, with_tls_ ? server_ctx() : nullptr);
    }

    void TearDown() override {
        if (s_) tls_close(s_->stream.conn);
        tls_close(peer_);
    }

    void make_session(int fd, SSL_CTX* ctx) {
        s_ = std::make_unique<InboundSession>(
            7, fd,
            InboundContext{"a.example", std::span<const uint8_t, 32>(secret_), ctx, kRebuildSize, 0,
                           due_now_ ? 0u : 60u, due_now_ ? 0u : 5u});
        s_->parser = std::make_unique<xmpp::XmlParser>();
        s_->set_stream_id();
        s_->accepted_ms = s_->last_read_ms = monotonic_ms();
    }

    SSL_CTX* server_ctx() {
        if (!server_ctx_) {
            ca_ = test::make_cert(test::CertSpec::authority("Test CA"), nullptr);
            server_cert_ = test::make_cert(test::CertSpec::leaf("a.example", {"a.example"}), &ca_);
            auto ctx =
                create_server_tls_context(dir_.write_chain("server.pem", {&server_cert_, &ca_}),
                                          dir_.write_key("server.key", server_cert_));
            EXPECT_TRUE(ctx);
            server_ctx_.reset(ctx ? *ctx : nullptr);
        }
        return server_ctx_.get();
    }

    // The session joined to a real loop, as the daemon runs it.
    void attach() {
        auto loop = EventLoop::create(8);
        ASSERT_TRUE(loop);
        loop_ = std::move(*loop);
        ASSERT_TRUE(inbound_attach(host_, *s_, *loop_));
    }

    // One turn of that loop, kept from waiting by a timer due at once: a
    // write event comes only where the session asked for one.
    void turn_loop() {
        struct Nothing final : LoopHandler {
            void on_event(const LoopEvent&) override {}
        } nothing;
        auto timer = loop_->add_timer(nothing, 0);
        ASSERT_TRUE(timer);
        ASSERT_TRUE(loop_->run_once());
        loop_->remove_timer(*timer);
    }

    // Bytes from the peer, then the session's read path as the loop runs it.
    InboundOutcome send(const std::string& bytes) {
        write_peer(bytes);
        return pump();
    }

    // Read events while the session's socket has bytes (the loop's read
    // interest is level-triggered).
    InboundOutcome pump() {
        for (int i = 0; i < 1000; ++i) {
            if (s_->stream.conn.fd < 0) return InboundOutcome::close;
            if (inbound_readable(host_, *s_) == InboundOutcome::close) return InboundOutcome::close;
            int waiting = 0;
            if (ioctl(s_->stream.conn.fd, FIONREAD, &waiting) != 0 || waiting == 0) break;
        }
        return InboundOutcome::keep;
    }

    void write_peer(const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n;
            if (peer_.tls_active) {
                ERR_clear_error();
                n = SSL_write(peer_.ssl, bytes.data() + off, static_cast<int>(bytes.size() - off));
            } else {
                n = ::write(peer_.fd, bytes.data() + off, bytes.size() - off);
            }
            ASSERT_GT(n, 0) << "peer write";
            off += static_cast<size_t>(n);
        }
    }

    // Everything the session wrote so far (its queue flushed as the loop would).
    std::string received() {
        for (int i = 0; i < 100 && !s_->stream.wq.empty(); ++i)
            if (inbound_writable(host_, *s_) == InboundOutcome::close) break;
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n;
            if (peer_.tls_active) {
                ERR_clear_error();
                n = SSL_read(peer_.ssl, buf, sizeof buf);
            } else {
                n = ::read(peer_.fd, buf, sizeof buf);
            }
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    // The peer side of STARTTLS: after the session's proceed, both handshakes
    // run in turn until both are done. CLIENT_CERT: the peer presents it.
    void handshake(const test::TestCert* client_cert = nullptr) {
        auto cctx = client_cert
                        ? create_client_tls_context(dir_.write_chain("client.pem", {client_cert}),
                                                    dir_.write_key("client.key", *client_cert))
                        : create_client_tls_context(std::nullopt, std::nullopt);
        ASSERT_TRUE(cctx);
        client_ctx_.reset(*cctx);
        ASSERT_TRUE(tls_client_attach(peer_, client_ctx_.get(), "a.example"));
        bool peer_done = false;
        for (int round = 0; round < 100; ++round) {
            if (!peer_done) {
                auto r = tls_handshake_step(peer_);
                ASSERT_TRUE(r) << "peer handshake failed";
                peer_done = *r == TlsPhase::done;
            }
            if (s_->stream.conn.handshaking()) {
                ASSERT_EQ(inbound_readable(host_, *s_), InboundOutcome::keep);
            }
            if (peer_done && !s_->stream.conn.handshaking()) return;
        }
        FAIL() << "handshake did not finish";
    }

    // From a fresh session to the stream restarted over TLS (state 4).
    void negotiate_tls(const std::string& from = "b.example",
                       const test::TestCert* client_cert = nullptr) {
        ASSERT_EQ(send(peer_header(from)), InboundOutcome::keep);
        ASSERT_EQ(send("<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"),
                  InboundOutcome::keep);
        ASSERT_EQ(received(), our_header(*s_, from) + kStarttlsFeatures + kProceed);
        handshake(client_cert);
        ASSERT_EQ(s_->state, InboundState::awaiting_restart);
        ASSERT_EQ(send(peer_header(from)), InboundOutcome::keep);
        ASSERT_EQ(s_->state, InboundState::auth_offered);
    }

    // A plain session put straight into the established state for DOMAIN,
    // as SASL would leave it; the header is read as the restarted stream's.
    void establish(const std::string& domain = "b.example", const std::string& header_extra = "") {
        s_->state = InboundState::awaiting_restart;
        s_->sasl_authenticated = true;
        ASSERT_TRUE(s_->add_authenticated(domain));
        ASSERT_EQ(send(peer_header(domain, header_extra)), InboundOutcome::keep);
        ASSERT_EQ(s_->state, InboundState::established);
        received();
    }

    bool with_tls_ = true;
    bool due_now_ = false;  // deadlines of 0 s: due whenever the time-out is reported
    std::array<uint8_t, 32> secret_{};
    FakeHost host_;
    test::TempDir dir_;
    test::TestCert ca_, server_cert_;
    test::CtxPtr server_ctx_, client_ctx_;
    std::unique_ptr<EventLoop> loop_;  // after attach()
    std::unique_ptr<InboundSession> s_;
    TlsConn peer_;
};

}  // namespace fenra::s2s::testing
