// The inbound registry inside a real S2sServer: one loop iteration accepts a
// waiting connection into a slot with a fresh stream id, and a dialback
// verdict reaches a session only through its slot and stream id.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "s2s/server.h"
#include "tests/auth/log_capture.h"

namespace fenra::s2s {
namespace {

using testutil::LogCapture;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_.host = "a.example";
        config_.bind_address = "127.0.0.1";
        config_.port = 0;
        server_ = std::make_unique<S2sServer>(config_);
        ASSERT_TRUE(server_->init_tls());
        ASSERT_TRUE(server_->init_listener());
        ASSERT_TRUE(server_->init_event_loop());
    }

    void TearDown() override {
        if (client_ >= 0) ::close(client_);
        server_->destroy_event_loop();
        server_.reset();
    }

    // A connection waits on the listener; one loop iteration takes it (and
    // the SIGTERM raised beside it ends the loop after that iteration).
    void accept_one() {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ASSERT_EQ(getsockname(server_->listen_fd(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
        client_ = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        raise(SIGTERM);
        ASSERT_TRUE(server_->run());
    }

    S2sConfig config_;
    std::unique_ptr<S2sServer> server_;
    int client_ = -1;
};

TEST_F(RegistryTest, AcceptTakesTheCursorSlotWithAFreshStreamId) {
    EXPECT_EQ(server_->inbound_session(0), nullptr);
    accept_one();
    InboundSession* s = server_->inbound_session(0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->slot, 0);
    EXPECT_EQ(s->state, InboundState::connected);
    EXPECT_EQ(s->stream_id().substr(0, 6), "s2s-0-");
    EXPECT_LE(s->stream_id().size(), kStreamIdSize);
    EXPECT_EQ(s->context.local_domain, "a.example");
    EXPECT_NE(s->parser, nullptr);
    EXPECT_EQ(server_->inbound_cursor(), 1);
    EXPECT_EQ(server_->inbound_session(-1), nullptr);
    EXPECT_EQ(server_->inbound_session(kInboundSlots), nullptr);
}

TEST_F(RegistryTest, VerdictReachesOnlyTheSessionWithThatStreamId) {
    LogCapture logs;
    server_->dialback_verdict(0, "s2s-0-1", "b.example", true);
    EXPECT_TRUE(logs.contains("warn(fenra-s2s): dialback callback: inbound session 0 gone"));

    accept_one();
    InboundSession* s = server_->inbound_session(0);
    ASSERT_NE(s, nullptr);
    const std::string id(s->stream_id());
    server_->dialback_verdict(0, id + "0", "b.example", true);
    EXPECT_TRUE(s->stream.wq.empty());
    // The right session, but not restarted over TLS: nothing is authenticated.
    server_->dialback_verdict(0, id, "b.example", true);
    EXPECT_FALSE(s->authenticated("b.example"));
    EXPECT_EQ(s->stream.wq.pending(),
              "<db:result xmlns:db='jabber:server:dialback' from='a.example' to='b.example' "
              "type='invalid'/>");
    EXPECT_TRUE(logs.contains(
        "warn(fenra-s2s): dialback callback: b.example invalid, inbound session 0 rejected"));
}

}  // namespace
}  // namespace fenra::s2s
