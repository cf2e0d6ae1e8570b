// The readiness loop on real descriptors: batching, one-shot write,
// level-triggered read, signals, EINTR and reused descriptor numbers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "runtime/event_loop.h"

namespace fenra {
namespace {

struct Pair {
    int a = -1;
    int b = -1;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0) {
            a = sv[0];
            b = sv[1];
        }
    }
    ~Pair() { close_all(); }
    void close_all() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
        a = b = -1;
    }
};

void poke(int fd) {
    ASSERT_EQ(write(fd, "x", 1), 1);
}

// Fills the send buffer of fd so that it is not writable.
void fill(int fd) {
    char buf[65536] = {};
    while (write(fd, buf, sizeof buf) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
}

std::unique_ptr<EventLoop> make_loop(size_t changes = 32, size_t events = 64) {
    auto r = EventLoop::create(changes, events);
    if (!r) return nullptr;
    return std::move(*r);
}

std::vector<LoopEvent> wait_events(EventLoop& loop) {
    auto r = loop.wait();
    EXPECT_TRUE(r.ok());
    if (!r) return {};
    return std::vector<LoopEvent>(r->begin(), r->end());
}

int count(const std::vector<LoopEvent>& evs, EventKind kind, uint64_t tag) {
    int n = 0;
    for (const LoopEvent& e : evs)
        n += e.kind == kind && e.tag == tag;
    return n;
}

// A pipe that the tests make readable to end a wait that should return nothing else.
struct Trigger {
    int r = -1, w = -1;
    static constexpr uint64_t kTag = 0xfeed;
    explicit Trigger(EventLoop& loop) {
        int p[2];
        if (pipe2(p, O_NONBLOCK) == 0) {
            r = p[0];
            w = p[1];
        }
        EXPECT_TRUE(loop.register_read_now(r, kTag).ok());
    }
    ~Trigger() {
        close(r);
        close(w);
    }
    void fire() { poke(w); }
    void drain() {
        char buf[64];
        while (read(r, buf, sizeof buf) > 0) {
        }
    }
};

TEST(EventLoop, RegistrationsBeyondChangeCapacityAllFire) {
    auto loop = make_loop(4, 128);
    ASSERT_TRUE(loop);
    std::vector<Pair> pairs(100);
    for (size_t i = 0; i < pairs.size(); ++i) {
        ASSERT_GE(pairs[i].a, 0);
        ASSERT_TRUE(loop->add_read(pairs[i].a, 1000 + i).ok());
        EXPECT_LE(loop->pending_changes(), 4u);
        poke(pairs[i].b);
    }
    std::map<uint64_t, int> seen;
    while (seen.size() < pairs.size()) {
        for (const LoopEvent& e : wait_events(*loop)) {
            ASSERT_EQ(e.kind, EventKind::read);
            ASSERT_GE(e.tag, 1000u);
            ASSERT_LT(e.tag, 1100u);
            EXPECT_EQ(e.fd, pairs[e.tag - 1000].a);
            char c;
            ASSERT_EQ(read(e.fd, &c, 1), 1);
            ++seen[e.tag];
        }
    }
    for (const auto& [tag, n] : seen)
        EXPECT_EQ(n, 1) << tag;
    EXPECT_EQ(loop->pending_changes(), 0u);
}

TEST(EventLoop, SeveralDescriptorsInOneBatchCarryTheirTags) {
    auto loop = make_loop();
    Pair p[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(loop->add_read(p[i].a, 0x10000 + i).ok());
        poke(p[i].b);
    }
    ASSERT_TRUE(loop->add_write_once(p[1].a, 0x10001).ok());
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 4u);
    for (const LoopEvent& e : evs) {
        ASSERT_GE(e.tag, 0x10000u);
        ASSERT_LE(e.tag, 0x10002u);
        EXPECT_EQ(e.fd, p[e.tag - 0x10000].a);
    }
    EXPECT_EQ(count(evs, EventKind::read, 0x10000), 1);
    EXPECT_EQ(count(evs, EventKind::read, 0x10001), 1);
    EXPECT_EQ(count(evs, EventKind::read, 0x10002), 1);
    EXPECT_EQ(count(evs, EventKind::write, 0x10001), 1);
}

TEST(EventLoop, TagsKeepAllSixtyFourBits) {
    auto loop = make_loop();
    Pair p;
    const uint64_t tag = static_cast<uint64_t>(-18);
    ASSERT_TRUE(loop->add_read(p.a, tag).ok());
    poke(p.b);
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].tag, tag);
    EXPECT_EQ(static_cast<int64_t>(evs[0].tag), -18);
}

TEST(EventLoop, ReadIsLevelTriggeredAndPersistent) {
    auto loop = make_loop();
    Pair p;
    ASSERT_TRUE(loop->add_read(p.a, 5).ok());
    poke(p.b);
    poke(p.b);
    for (int round = 0; round < 3; ++round) {
        std::vector<LoopEvent> evs = wait_events(*loop);
        ASSERT_EQ(evs.size(), 1u);
        EXPECT_EQ(evs[0].kind, EventKind::read);
        EXPECT_EQ(evs[0].tag, 5u);
    }
    char buf[8];
    ASSERT_EQ(read(p.a, buf, sizeof buf), 2);
    poke(p.b);  // still registered after being drained
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].tag, 5u);
}

TEST(EventLoop, WriteOnceFiresOnceUntilRearmed) {
    auto loop = make_loop();
    Trigger t(*loop);
    Pair p;
    ASSERT_TRUE(loop->add_read(p.a, 7).ok());
    ASSERT_TRUE(loop->add_write_once(p.a, 7).ok());
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, EventKind::write);
    EXPECT_EQ(evs[0].fd, p.a);

    // Still writable, but the registration is gone: only the trigger fires.
    for (int round = 0; round < 2; ++round) {
        t.fire();
        evs = wait_events(*loop);
        ASSERT_EQ(evs.size(), 1u);
        EXPECT_EQ(evs[0].tag, Trigger::kTag);
        t.drain();
    }

    // Read interest survived the one-shot write.
    poke(p.b);
    evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, EventKind::read);
    char c;
    ASSERT_EQ(read(p.a, &c, 1), 1);

    // Re-armed in the iteration that consumed it: fires once more.
    ASSERT_TRUE(loop->add_write_once(p.a, 7).ok());
    evs = wait_events(*loop);
    ASSERT_EQ(count(evs, EventKind::write, 7), 1);
    ASSERT_TRUE(loop->add_write_once(p.a, 7).ok());
    evs = wait_events(*loop);
    ASSERT_EQ(count(evs, EventKind::write, 7), 1);
    t.fire();
    evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].tag, Trigger::kTag);
}

TEST(EventLoop, WriteOnceWaitsForSpace) {
    auto loop = make_loop();
    Trigger t(*loop);
    Pair p;
    fill(p.a);
    ASSERT_TRUE(loop->add_write_once(p.a, 9).ok());
    t.fire();
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].tag, Trigger::kTag);
    t.drain();
    // The peer drains: now the write fires, once.
    char buf[65536];
    while (read(p.b, buf, sizeof buf) > 0) {
    }
    evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, EventKind::write);
    EXPECT_EQ(evs[0].tag, 9u);
}

TEST(EventLoop, HangUpReachesReadAndWriteInterest) {
    auto loop = make_loop();
    Pair p;
    ASSERT_TRUE(loop->add_read(p.a, 1).ok());
    ASSERT_TRUE(loop->add_write_once(p.a, 1).ok());
    close(p.b);
    p.b = -1;
    std::vector<LoopEvent> evs = wait_events(*loop);
    EXPECT_EQ(count(evs, EventKind::read, 1), 1);
    EXPECT_EQ(count(evs, EventKind::write, 1), 1);
    char c;
    EXPECT_EQ(read(p.a, &c, 1), 0);
}

TEST(EventLoop, ClosingADescriptorEndsItsEvents) {
    // A handler closes a descriptor whose event is later in the same batch: the
    // batch still names it (the daemon skips it by tag), later waits do not.
    auto loop = make_loop();
    Pair x, y;
    ASSERT_TRUE(loop->add_read(x.a, 1).ok());
    ASSERT_TRUE(loop->add_read(y.a, 2).ok());
    ASSERT_TRUE(loop->add_write_once(y.a, 2).ok());
    poke(x.b);
    poke(y.b);
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 3u);
    close(y.a);
    y.a = -1;
    ASSERT_TRUE(loop->add_write_once(x.a, 1).ok());
    evs = wait_events(*loop);
    EXPECT_EQ(count(evs, EventKind::read, 1), 1);
    EXPECT_EQ(count(evs, EventKind::write, 1), 1);
    EXPECT_EQ(evs.size(), 2u);
}

TEST(EventLoop, ClosedDescriptorWithQueuedChangeIsAnOtherEvent) {
    auto loop = make_loop();
    Trigger t(*loop);
    Pair p;
    const int fd = p.a;
    ASSERT_TRUE(loop->add_write_once(fd, 77).ok());
    close(p.a);
    p.a = -1;
    // The refused change comes back as an event, not as a failed wait.
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, EventKind::other);
    EXPECT_EQ(evs[0].tag, 77u);
    EXPECT_EQ(evs[0].fd, fd);
    EXPECT_EQ(evs[0].data, EBADF);
    // And the loop carries on.
    t.fire();
    evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].tag, Trigger::kTag);
}

TEST(EventLoop, RegisterReadNowReportsErrors) {
    auto loop = make_loop();
    EXPECT_EQ(loop->register_read_now(-1, 1).error(), Error::EventNotFound);
    Pair p;
    const int fd = p.a;
    p.close_all();
    EXPECT_EQ(loop->register_read_now(fd, 1).error(), Error::EventNotFound);
}

TEST(EventLoop, ReusedNumberDoesNotInheritArmedWriteOnce) {
    auto loop = make_loop();
    Trigger t(*loop);
    auto p = std::make_unique<Pair>();
    const int fd = p->a;
    fill(p->a);
    ASSERT_TRUE(loop->add_read(p->a, 0x10003).ok());
    ASSERT_TRUE(loop->add_write_once(p->a, 0x10003).ok());
    t.fire();
    std::vector<LoopEvent> evs = wait_events(*loop);  // the write is now armed in the kernel
    ASSERT_EQ(evs.size(), 1u);
    t.drain();
    p.reset();

    Pair q;
    ASSERT_EQ(q.a, fd);  // the lowest free number comes back
    ASSERT_TRUE(loop->add_read(q.a, 0x10007).ok());
    poke(q.b);
    evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, EventKind::read);
    EXPECT_EQ(evs[0].tag, 0x10007u);
    char c;
    ASSERT_EQ(read(q.a, &c, 1), 1);
    t.fire();
    evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].tag, Trigger::kTag);
}

TEST(EventLoop, ReusedNumberDoesNotInheritQueuedWriteOnce) {
    auto loop = make_loop();
    Trigger t(*loop);
    auto p = std::make_unique<Pair>();
    const int fd = p->a;
    ASSERT_TRUE(loop->add_write_once(p->a, 0x10003).ok());
    p.reset();  // closed before the change reached the kernel
    Pair q;
    ASSERT_EQ(q.a, fd);
    ASSERT_TRUE(loop->add_read(q.a, 0x10004).ok());
    t.fire();
    std::vector<LoopEvent> evs = wait_events(*loop);
    EXPECT_EQ(count(evs, EventKind::write, 0x10003), 0);
    EXPECT_EQ(count(evs, EventKind::read, Trigger::kTag), 1);
}

TEST(EventLoop, ReusedNumberDoesNotInheritReadInterest) {
    auto loop = make_loop();
    Trigger t(*loop);
    auto p = std::make_unique<Pair>();
    const int fd = p->a;
    ASSERT_TRUE(loop->add_read(p->a, 0x10001).ok());
    t.fire();
    ASSERT_EQ(wait_events(*loop).size(), 1u);
    t.drain();
    p.reset();
    // The new owner asks for a write only (a connecting socket does that).
    Pair q;
    ASSERT_EQ(q.a, fd);
    ASSERT_TRUE(loop->add_write_once(q.a, 0x20001).ok());
    poke(q.b);
    std::vector<LoopEvent> evs = wait_events(*loop);
    EXPECT_EQ(count(evs, EventKind::write, 0x20001), 1);
    EXPECT_EQ(count(evs, EventKind::read, 0x10001), 0);
    t.fire();
    evs = wait_events(*loop);
    EXPECT_EQ(count(evs, EventKind::read, 0x10001), 0);
    EXPECT_EQ(count(evs, EventKind::read, Trigger::kTag), 1);
}

TEST(EventLoop, SameTagReadKeepsQueuedWrite) {
    // A handler that queues output and then renews its read interest keeps both.
    auto loop = make_loop();
    Pair p;
    ASSERT_TRUE(loop->add_read(p.a, 3).ok());
    ASSERT_TRUE(loop->add_write_once(p.a, 3).ok());
    ASSERT_TRUE(loop->add_read(p.a, 3).ok());
    std::vector<LoopEvent> evs = wait_events(*loop);
    EXPECT_EQ(count(evs, EventKind::write, 3), 1);
}

// Signals are process-wide: these tests block what they watch and leave it blocked.
TEST(EventLoopSignals, TwoSigintBeforeOneWaitAreOneEvent) {
    auto loop = make_loop();
    ASSERT_TRUE(loop->watch_signal(SIGTERM).ok());
    ASSERT_TRUE(loop->watch_signal(SIGINT).ok());
    raise(SIGINT);
    raise(SIGINT);
    std::vector<LoopEvent> evs = wait_events(*loop);
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, EventKind::signal);
    EXPECT_EQ(evs[0].tag, static_cast<uint64_t>(SIGINT));
    EXPECT_GE(evs[0].data, 1);
    EXPECT_LE(evs[0].data, 2);
}

TEST(EventLoopSignals, DistinctSignalsAreDistinctEvents) {
    auto loop = make_loop();
    Pair p;
    ASSERT_TRUE(loop->watch_signal(SIGTERM).ok());
    ASSERT_TRUE(loop->watch_signal(SIGINT).ok());
    ASSERT_TRUE(loop->watch_signal(SIGHUP).ok());  // extends the watched set
    ASSERT_TRUE(loop->add_read(p.a, 11).ok());
    poke(p.b);
    raise(SIGHUP);
    raise(SIGTERM);
    std::vector<LoopEvent> evs = wait_events(*loop);
    while (evs.size() < 3) {
        std::vector<LoopEvent> more = wait_events(*loop);
        evs.insert(evs.end(), more.begin(), more.end());
        if (count(evs, EventKind::read, 11) > 1) break;  // level-triggered repeat
    }
    EXPECT_EQ(count(evs, EventKind::signal, SIGHUP), 1);
    EXPECT_EQ(count(evs, EventKind::signal, SIGTERM), 1);
    EXPECT_GE(count(evs, EventKind::read, 11), 1);
    for (const LoopEvent& e : evs)
        if (e.kind == EventKind::signal) {
            EXPECT_EQ(e.data, 1);
        }
}

std::atomic<int> g_usr1{0};

// Is the thread blocked in the kernel's epoll wait?
bool blocked_in_wait(pid_t tid) {
    std::ifstream wchan("/proc/self/task/" + std::to_string(tid) + "/wchan");
    std::string w;
    std::getline(wchan, w);
    return w.find("poll") != std::string::npos;
}

TEST(EventLoopSignals, UnwatchedSignalInterruptingTheWaitIsRetried) {
    struct sigaction sa = {};
    sa.sa_handler = [](int) { g_usr1.fetch_add(1); };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the wait sees EINTR
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    auto loop = make_loop();
    Pair p;
    ASSERT_TRUE(loop->add_read(p.a, 21).ok());
    const pthread_t self = pthread_self();
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    std::thread helper([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!blocked_in_wait(tid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        pthread_kill(self, SIGUSR1);
        while (g_usr1.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        while (!blocked_in_wait(tid) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        poke(p.b);
    });
    auto r = loop->wait();
    helper.join();
    sigaction(SIGUSR1, &old, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(g_usr1.load(), 1);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].tag, 21u);
}

}  // namespace
}  // namespace fenra
