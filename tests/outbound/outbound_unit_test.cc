// The outbound side in isolation: recipient domains, the delivery queue, the
// registry's slots and map, writing queued deliveries through the bounded
// write queue, matching callback answers, and connect failures that need no
// network.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "s2s/core_link.h"
#include "s2s/server.h"
#include "s2s/xmpp/dialback.h"
#include "s2s/xmpp/outbound_registry.h"
#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {
namespace {

TEST(DeliveryDomain, AddressForms) {
    const struct {
        std::string_view to, domain;
    } rows[] = {
        {"node@domain/resource", "domain"},
        {"domain/resource", "domain"},
        {"domain", "domain"},
        {"@domain", "domain"},
        {"node@", ""},
        {"/resource", ""},
        {"", ""},
        {"node@domain/", "domain"},
        // The resource is cut first: an "@" inside it moves nothing.
        {"bob@b.test/res@evil.test", "b.test"},
        {"b.test/x@evil.test", "b.test"},
        {"a@b@c/d", "b@c"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(delivery_domain(r.to), r.domain) << r.to;
}

PendingDelivery delivery(int n, size_t size = 8) {
    PendingDelivery d;
    d.from = "a@a.test";
    d.to = "b" + std::to_string(n) + "@b.test";
    d.stanza = "<m n='" + std::to_string(n) + "'>" + std::string(size, 'x') + "</m>";
    return d;
}

TEST(DeliveryQueue, GrowsByHalfPlusTwo) {
    EXPECT_EQ(DeliveryQueue::grown_capacity(0, 1), 2u);
    EXPECT_EQ(DeliveryQueue::grown_capacity(2, 3), 5u);
    EXPECT_EQ(DeliveryQueue::grown_capacity(5, 6), 9u);
    EXPECT_EQ(DeliveryQueue::grown_capacity(0, 10), 15u);
    EXPECT_EQ(DeliveryQueue::grown_capacity(9, 9), 9u);

    DeliveryQueue q;
    std::vector<size_t> caps;
    for (int i = 0; i < 10; ++i) {
        PendingDelivery d = delivery(i);
        ASSERT_TRUE(q.push(d));
        EXPECT_TRUE(d.stanza.empty());  // moved in
        caps.push_back(q.capacity());
    }
    EXPECT_EQ(caps, (std::vector<size_t>{2, 2, 5, 5, 5, 9, 9, 9, 9, 15}));
}

TEST(DeliveryQueue, KeepsArrivalOrderAcrossSlides) {
    DeliveryQueue q;
    int next_in = 0, next_out = 0;
    auto push = [&] {
        PendingDelivery d = delivery(next_in++);
        ASSERT_TRUE(q.push(d));
    };
    auto pop = [&] {
        ASSERT_FALSE(q.empty());
        EXPECT_EQ(q.front().to, "b" + std::to_string(next_out++) + "@b.test");
        q.pop_front();
    };
    for (int i = 0; i < 5; ++i)
        push();  // capacity 5, full
    for (int i = 0; i < 3; ++i)
        pop();
    push();  // three of five taken: the two live entries slide down
    EXPECT_EQ(q.capacity(), 5u);
    push();
    push();
    EXPECT_EQ(q.size(), 5u);
    pop();
    push();  // one of five taken: it grows rather than slide four entries for one
    EXPECT_EQ(q.capacity(), 9u);
    EXPECT_EQ(q.size(), 5u);
    while (!q.empty())
        pop();
    EXPECT_EQ(next_out, next_in);
    push();
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.size(), 0u);
}

PendingCallback callback(std::string_view id, std::string_view origin, bool sent) {
    PendingCallback cb;
    cb.stream_id = id;
    cb.origin = origin;
    cb.key = "k";
    cb.sent = sent;
    return cb;
}

TEST(CallbackMatching, ByIdAndFromAmongSentOnes) {
    const std::vector<PendingCallback> cbs = {
        callback("s2s-1-1", "a.test", true),
        callback("s2s-2-1", "a.test", true),
        callback("s2s-3-1", "a.test", false),
        callback("s2s-2-1", "a.test", true),
    };
    EXPECT_EQ(match_callback(cbs, "s2s-2-1", "a.test"), 1u);
    EXPECT_EQ(match_callback(cbs, "s2s-1-1", "a.test"), 0u);
    // Not sent yet: no answer can be for it.
    EXPECT_EQ(match_callback(cbs, "s2s-3-1", "a.test"), std::nullopt);
    // The id of one stream with another origin, or no from at all.
    EXPECT_EQ(match_callback(cbs, "s2s-1-1", "evil.test"), std::nullopt);
    EXPECT_EQ(match_callback(cbs, "s2s-1-1", ""), std::nullopt);
    EXPECT_EQ(match_callback(cbs, "", "a.test"), std::nullopt);
    EXPECT_EQ(match_callback({}, "s2s-1-1", "a.test"), std::nullopt);
}

TEST(OutboundRegistry, SlotsFromTheCursorOn) {
    OutboundRegistry reg;
    std::vector<OutboundSession*> s;
    for (int i = 0; i < OutboundRegistry::kSlots; ++i) {
        auto r = reg.get("d" + std::to_string(i) + ".test", "a.test");
        ASSERT_TRUE(r);
        s.push_back(*r);
    }
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(reg.take_slot(*s[static_cast<size_t>(i)]), i);
    reg.release_slot(*s[3]);
    EXPECT_EQ(s[3]->slot, -1);
    EXPECT_EQ(reg.at(3), nullptr);
    EXPECT_EQ(reg.take_slot(*s[10]), 10);  // not 3
    for (size_t i = 11; i < s.size(); ++i)
        ASSERT_GE(reg.take_slot(*s[i]), 0);
    EXPECT_TRUE(reg.has_free_slot());
    EXPECT_EQ(reg.take_slot(*s[3]), 3);  // the only free one, after wrapping
    EXPECT_FALSE(reg.has_free_slot());
    auto extra = reg.get("extra.test", "a.test");
    ASSERT_TRUE(extra);
    EXPECT_EQ(reg.take_slot(**extra), -1);
    reg.release_slot(*s[7]);
    EXPECT_TRUE(reg.has_free_slot());
    EXPECT_EQ(reg.at(OutboundRegistry::kSlots), nullptr);
    EXPECT_EQ(reg.at(-1), nullptr);
}

TEST(OutboundRegistry, FailedSessionsAreReplaced) {
    OutboundRegistry reg;
    auto first = reg.get("b.test", "a.test");
    ASSERT_TRUE(first);
    auto again = reg.get("b.test", "a.test");
    ASSERT_TRUE(again);
    EXPECT_EQ(*first, *again);
    EXPECT_EQ((*first)->remote_domain, "b.test");
    EXPECT_EQ((*first)->local_domain, "a.test");
    const uint64_t serial = (*first)->serial;
    (*first)->state = ConnState::failed;
    auto fresh = reg.get("b.test", "a.test");
    ASSERT_TRUE(fresh);
    EXPECT_EQ((*fresh)->state, ConnState::connecting);
    EXPECT_NE((*fresh)->serial, serial);
    EXPECT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg.find("b.test"), *fresh);
    reg.erase(**fresh);
    EXPECT_EQ(reg.find("b.test"), nullptr);
    EXPECT_EQ(reg.size(), 0u);
}

class FlushPending : public ::testing::Test {
  protected:
    S2sServer server{S2sConfig{}};
    OutboundSession s;

    void SetUp() override {
        s.remote_domain = "b.test";
        s.state = ConnState::established;
    }

    void queue(int n, size_t size) {
        PendingDelivery d = delivery(n, size);
        expected += d.stanza;
        ASSERT_TRUE(s.pending.push(d));
    }

    // What the peer would receive once everything queued is written.
    std::string drain() {
        std::string out(s.stream.wq.pending());
        s.stream.wq.consume(s.stream.wq.pending().size());
        return out;
    }

    std::string expected;
};

TEST_F(FlushPending, KeepsWhatDoesNotFitAndWritesItAsTheQueueDrains) {
    for (int i = 0; i < 40; ++i)
        queue(i, 1000);
    flush_pending(server, s);
    EXPECT_LE(s.stream.wq.pending().size(), xmpp::kWriteQueueSize);
    EXPECT_GT(s.stream.wq.pending().size(), xmpp::kWriteQueueSize - 1100);
    EXPECT_FALSE(s.pending.empty());
    std::string written;
    for (int round = 0; round < 10 && !s.pending.empty(); ++round) {
        written += drain();
        flush_pending(server, s);
    }
    written += drain();
    EXPECT_TRUE(s.pending.empty());
    EXPECT_EQ(written, expected);
}

TEST_F(FlushPending, PartlySentQueueTakesMoreOnceRoomIsThere) {
    queue(0, 16200);
    queue(1, 200);
    queue(2, 200);
    flush_pending(server, s);
    EXPECT_EQ(s.pending.size(), 2u);  // no room beside the big one
    s.stream.wq.consume(600);         // part of it went out
    flush_pending(server, s);
    EXPECT_EQ(s.pending.size(), 0u);
    EXPECT_EQ(drain(), expected.substr(600));
}

TEST_F(FlushPending, AStanzaLargerThanTheQueueIsDroppedNotStalling) {
    queue(0, xmpp::kWriteQueueSize + 1);
    expected.clear();
    queue(1, 10);
    flush_pending(server, s);
    EXPECT_TRUE(s.pending.empty());
    EXPECT_EQ(drain(), expected);
}

// The reports waiting in the server's backlog (no core is connected), as
// "to condition" texts.
std::vector<std::string> reports(S2sServer& server) {
    std::vector<std::string> out;
    for (FailedBacklog& b = server.core().failed_backlog(); !b.empty(); b.pop_front())
        out.push_back(b.front().to + " " + b.front().stanza);
    return out;
}

TEST_F(FlushPending, DeliveriesNotWhollyWrittenAreReportedWhenTheSessionFails) {
    for (int i = 0; i < 4; ++i)
        queue(i, 5000);
    flush_pending(server, s);
    ASSERT_EQ(s.pending.size(), 1u);                 // three in the write queue
    s.stream.wq.consume(expected.size() / 4 + 100);  // the first written, the second begun
    fail_outbound(server, s, condition::kWriteFailed);
    EXPECT_EQ(reports(server),
              (std::vector<std::string>{"b1@b.test write-failed", "b2@b.test write-failed",
                                        "b3@b.test write-failed"}));
}

TEST(QueueDelivery, BeyondTheBoundIsResourceConstraint) {
    S2sConfig config;
    config.max_queued_deliveries = 2;
    S2sServer server{config};
    OutboundSession s;
    s.state = ConnState::tls_handshaking;  // deliveries wait
    for (int i = 0; i < 3; ++i)
        queue_delivery(server, s, delivery(i));
    EXPECT_EQ(s.pending.size(), 2u);
    EXPECT_EQ(reports(server), std::vector<std::string>{"b2@b.test resource-constraint"});
}

}  // namespace
}  // namespace fenra::s2s
