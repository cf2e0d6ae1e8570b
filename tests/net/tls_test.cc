#include "s2s/net/tls.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "s2s/net/tls_context.h"
#include "tests/net/test_certs.h"

namespace fenra::s2s {
namespace {

using test::CertSpec;
using test::TestCert;

// A CA, a server certificate issued by it, and the daemon's own contexts
// loaded from PEM files: the server presents its certificate and the CA.
class TlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

    void SetUp() override {
        ca_ = test::make_cert(CertSpec::authority("Test CA"), nullptr);
        server_cert_ = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &ca_);
        auto ctx = create_server_tls_context(dir_.write_chain("server.pem", {&server_cert_, &ca_}),
                                             dir_.write_key("server.key", server_cert_));
        ASSERT_TRUE(ctx);
        server_ctx_.reset(*ctx);
        auto cctx = create_client_tls_context(std::nullopt, std::nullopt);
        ASSERT_TRUE(cctx);
        client_ctx_.reset(*cctx);
        auto pair = test::socket_pair();
        client_.fd = pair.a;
        server_.fd = pair.b;
    }

    void TearDown() override {
        tls_close(client_);
        tls_close(server_);
    }

    // A client context presenting CERT.
    test::CtxPtr client_ctx_with(const TestCert& cert) {
        auto ctx = create_client_tls_context(dir_.write_chain("client.pem", {&cert}),
                                             dir_.write_key("client.key", cert));
        EXPECT_TRUE(ctx);
        return test::CtxPtr(ctx ? *ctx : nullptr);
    }

    void connect(SSL_CTX* client_ctx, std::string_view domain = "b.test") {
        ASSERT_TRUE(tls_server_attach(server_, server_ctx_.get()));
        ASSERT_TRUE(tls_client_attach(client_, client_ctx, domain));
        ASSERT_TRUE(test::drive_handshake(client_, server_));
    }

    // Reads from CONN until N bytes arrived or nothing more comes.
    std::string read_all(TlsConn& conn, size_t n) {
        std::string got;
        ReadBuffer buf;
        for (int i = 0; i < 1000 && got.size() < n; ++i) {
            auto r = tls_read(conn, buf);
            if (!r) break;
            got.append(buf.unconsumed_text());
            buf.consume(buf.unconsumed().size());
        }
        return got;
    }

    test::TempDir dir_;
    TestCert ca_;
    TestCert server_cert_;
    test::CtxPtr server_ctx_;
    test::CtxPtr client_ctx_;
    TlsConn client_;
    TlsConn server_;
};

TEST_F(TlsTest, HandshakeWithoutClientCertificate) {
    connect(client_ctx_.get());
    EXPECT_EQ(client_.tls_phase, TlsPhase::done);
    EXPECT_EQ(server_.tls_phase, TlsPhase::done);
    EXPECT_FALSE(client_.handshaking());

    auto from_server = peer_certificate_der(server_);
    ASSERT_TRUE(from_server);
    EXPECT_FALSE(*from_server);
    auto server_chain = peer_chain_der(server_);
    ASSERT_TRUE(server_chain);
    EXPECT_TRUE(server_chain->empty());

    auto ee = peer_certificate_der(client_);
    ASSERT_TRUE(ee && *ee);
    EXPECT_EQ(**ee, server_cert_.der());
    // The client's view of the chain starts with the server's own certificate.
    auto chain = peer_chain_der(client_);
    ASSERT_TRUE(chain);
    ASSERT_EQ(chain->size(), 2u);
    EXPECT_EQ((*chain)[0], server_cert_.der());
    EXPECT_EQ((*chain)[1], ca_.der());
}

TEST_F(TlsTest, AnyClientCertificateIsAccepted) {
    const TestCert issued = test::make_cert(CertSpec::leaf("a.test", {"a.test"}), &ca_);
    const TestCert self_signed = test::make_cert(CertSpec::leaf("a.test", {"a.test"}), nullptr);
    const TestCert expired = test::make_cert(CertSpec::leaf("a.test").valid_days(-30, -1), nullptr);
    const std::pair<const char*, const TestCert*> cases[] = {
        {"issued", &issued}, {"self-signed", &self_signed}, {"expired", &expired}};
    for (const auto& [name, cert] : cases) {
        SCOPED_TRACE(name);
        TearDown();
        auto pair = test::socket_pair();
        client_ = test::conn_on(pair.a);
        server_ = test::conn_on(pair.b);
        auto ctx = client_ctx_with(*cert);
        connect(ctx.get());
        auto der = peer_certificate_der(server_);
        ASSERT_TRUE(der && *der);
        EXPECT_EQ(**der, cert->der());
        // The server side's chain leaves out the client's own certificate.
        auto chain = peer_chain_der(server_);
        ASSERT_TRUE(chain);
        EXPECT_TRUE(chain->empty());
    }
}

TEST_F(TlsTest, SniCarriesTheRemoteDomain) {
    const std::string label(63, 'x');
    std::string domain = label + "." + label + "." + label + "." + std::string(63, 'y');
    ASSERT_EQ(domain.size(), 255u);
    connect(client_ctx_.get(), domain);
    const char* seen = SSL_get_servername(server_.ssl, TLSEXT_NAMETYPE_host_name);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(std::string(seen), domain);
}

TEST_F(TlsTest, DomainOf256BytesFailsBeforeAnyByteIsSent) {
    const std::string domain(256, 'x');
    auto r = tls_client_attach(client_, client_ctx_.get(), domain);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::TlsInitFailed);
    EXPECT_EQ(client_.ssl, nullptr);
    EXPECT_FALSE(client_.tls_active);
    EXPECT_FALSE(client_.tls_phase);
    char c;
    EXPECT_EQ(read(server_.fd, &c, 1), -1);  // nothing arrived
}

TEST_F(TlsTest, MissingClientContextIsItsOwnError) {
    auto r = tls_client_attach(client_, nullptr, "b.test");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::SslInitFailed);
}

TEST_F(TlsTest, HandshakeWithSomethingElseFails) {
    ASSERT_TRUE(tls_client_attach(client_, client_ctx_.get(), "b.test"));
    auto first = tls_handshake_step(client_);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, TlsPhase::want_read);
    const char junk[] = "<?xml version='1.0'?><stream:stream>";
    ASSERT_GT(write(server_.fd, junk, sizeof junk - 1), 0);
    auto r = tls_handshake_step(client_);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::HandshakeFailed);
}

TEST_F(TlsTest, DataBothWaysAndCloseNotify) {
    connect(client_ctx_.get());
    WriteQueue out;
    ASSERT_TRUE(out.append("<stream:stream>"));
    auto f = tls_flush(client_, out);
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, FlushState::complete);
    EXPECT_EQ(out.filled, 0u);
    EXPECT_EQ(out.sent, 0u);
    EXPECT_EQ(read_all(server_, 15), "<stream:stream>");

    ReadBuffer buf;
    auto nothing = tls_read(server_, buf);
    ASSERT_TRUE(nothing);
    EXPECT_EQ(*nothing, 0u);

    tls_close(client_);
    EXPECT_EQ(client_.fd, -1);
    EXPECT_FALSE(client_.tls_active);
    tls_close(client_);  // a second close does nothing
    auto r = tls_read(server_, buf);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::ConnectionClosed);
}

TEST_F(TlsTest, SocketClosedWithoutCloseNotifyIsAReadFailure) {
    connect(client_ctx_.get());
    close(client_.fd);
    client_.fd = -1;
    ReadBuffer buf;
    auto r = tls_read(server_, buf);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::ReadFailed);
}

TEST_F(TlsTest, DecryptedBytesBeyondTheBufferAreNotStranded) {
    connect(client_ctx_.get());
    // One TLS record larger than the read buffer: after the first read the
    // socket has nothing more, the rest waits inside the library.
    std::string big(12000, 'm');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    WriteQueue out;
    ASSERT_TRUE(out.append(big));
    auto f = tls_flush(client_, out);
    ASSERT_TRUE(f);
    ASSERT_EQ(*f, FlushState::complete);

    ReadBuffer buf;
    auto first = tls_read(server_, buf);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, ReadBuffer::kSize);
    auto full = tls_read(server_, buf);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error(), Error::BufferFull);
    EXPECT_TRUE(tls_has_pending(server_));
    std::string got(reinterpret_cast<const char*>(buf.unconsumed().data()),
                    buf.unconsumed().size());
    buf.consume(4000);
    auto second = tls_read(server_, buf);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, 12000u - ReadBuffer::kSize);
    EXPECT_FALSE(tls_has_pending(server_));
    auto rest = buf.unconsumed();
    got.append(reinterpret_cast<const char*>(rest.data()) + ReadBuffer::kSize - 4000,
               rest.size() - (ReadBuffer::kSize - 4000));
    EXPECT_EQ(got, big);
}

TEST_F(TlsTest, WriteWaitingForTheHandshakeIsRetriedFromTheSameOffset) {
    ASSERT_TRUE(tls_server_attach(server_, server_ctx_.get()));
    ASSERT_TRUE(tls_client_attach(client_, client_ctx_.get(), "b.test"));
    WriteQueue out;
    ASSERT_TRUE(out.append("first"));
    // The write starts the handshake and must wait for the server's answer.
    auto f = tls_flush(client_, out);
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, FlushState::pending);
    EXPECT_EQ(out.sent, 0u);
    EXPECT_EQ(out.filled, 5u);
    ASSERT_TRUE(out.append(" second"));
    auto step = tls_handshake_step(server_);
    ASSERT_TRUE(step);
    for (int i = 0; i < 10 && !out.empty(); ++i) {
        ASSERT_TRUE(tls_flush(client_, out));
        (void)tls_handshake_step(server_);
    }
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(read_all(server_, 12), "first second");
}

TEST_F(TlsTest, FullSocketKeepsTheQueueAndLosesNothing) {
    connect(client_ctx_.get());
    int small = 4096;
    ASSERT_EQ(setsockopt(client_.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(setsockopt(server_.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);

    // Keep appending numbered lines while the socket is full, moving and
    // growing the buffer under a write that waits to be retried.
    std::string expected;
    WriteQueue out;
    ReadBuffer in;
    std::string received;
    int line = 0;
    bool saw_pending = false;
    for (int round = 0; round < 2000 && line < 3000; ++round) {
        for (;;) {
            std::string text = "<message id='" + std::to_string(line) + "'/>\n";
            if (!out.append(text)) break;
            expected += text;
            ++line;
        }
        auto f = tls_flush(client_, out);
        ASSERT_TRUE(f);
        if (*f == FlushState::pending) {
            saw_pending = true;
            if (round % 3 == 0) continue;  // let the queue grow while waiting
        }
        auto r = tls_read(server_, in);
        ASSERT_TRUE(r);
        auto bytes = in.unconsumed();
        received.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        in.consume(bytes.size());
    }
    for (int i = 0; i < 10000 && received.size() < expected.size(); ++i) {
        auto f = tls_flush(client_, out);
        ASSERT_TRUE(f);
        auto r = tls_read(server_, in);
        ASSERT_TRUE(r);
        auto bytes = in.unconsumed();
        received.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        in.consume(bytes.size());
    }
    EXPECT_TRUE(saw_pending);
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

TEST(PlainTransport, ReadsAndWritesTheSocketItself) {
    signal(SIGPIPE, SIG_IGN);
    auto pair = test::socket_pair();
    TlsConn a = test::conn_on(pair.a);
    TlsConn b = test::conn_on(pair.b);
    WriteQueue out;
    ASSERT_TRUE(out.append("hello"));
    auto f = tls_flush(a, out);
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, FlushState::complete);

    ReadBuffer in;
    auto r = tls_read(b, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 5u);
    auto nothing = tls_read(b, in);
    ASSERT_TRUE(nothing);
    EXPECT_EQ(*nothing, 0u);

    // Consumed bytes are compacted away before the next read.
    in.consume(2);
    ASSERT_TRUE(out.append("!"));
    ASSERT_TRUE(tls_flush(a, out));
    ASSERT_TRUE(tls_read(b, in));
    EXPECT_EQ(in.consumed, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.data), in.filled), "llo!");

    tls_close(a);
    ASSERT_TRUE(out.append("late"));
    auto closed = tls_flush(a, out);
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error(), Error::ConnectionClosed);
    auto eof = tls_read(b, in);
    ASSERT_FALSE(eof);
    EXPECT_EQ(eof.error(), Error::ConnectionClosed);

    WriteQueue to_gone;
    ASSERT_TRUE(to_gone.append("x"));
    auto reset = tls_flush(b, to_gone);
    ASSERT_FALSE(reset);
    EXPECT_EQ(reset.error(), Error::ConnectionReset);
    tls_close(b);
}

TEST(PlainTransport, FullReadBufferReadsNothing) {
    auto pair = test::socket_pair();
    TlsConn a = test::conn_on(pair.a);
    TlsConn b = test::conn_on(pair.b);
    std::string chunk(ReadBuffer::kSize + 10, 'x');
    ASSERT_EQ(write(a.fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    ReadBuffer in;
    auto r = tls_read(b, in);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, ReadBuffer::kSize);
    auto full = tls_read(b, in);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error(), Error::BufferFull);
    in.consume(10);
    auto rest = tls_read(b, in);
    ASSERT_TRUE(rest);
    EXPECT_EQ(*rest, 10u);
    tls_close(a);
    tls_close(b);
}

}  // namespace
}  // namespace fenra::s2s
