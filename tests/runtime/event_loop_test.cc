// The readiness loop on real descriptors: handlers, interest changes,
// one-shot write, level-triggered read, timers, signals, EINTR, and
// registrations removed or replaced while a batch is dispatched.
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
#include <functional>
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
    void close_a() {
        if (a >= 0) close(a);
        a = -1;
    }
    void close_all() {
        close_a();
        if (b >= 0) close(b);
        b = -1;
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

void drain(int fd) {
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

std::unique_ptr<EventLoop> make_loop(size_t events = 64) {
    auto r = EventLoop::create(events);
    if (!r) return nullptr;
    return std::move(*r);
}

// What the handlers saw, in order; `who` names the handler.
struct Seen {
    int who;
    EventKind kind;
    int fd;
    int64_t data;
    int signo;
    TimerId timer;
};

struct Rec final : LoopHandler {
    std::vector<Seen>* log = nullptr;
    int who = 0;
    std::function<void(const LoopEvent&)> act;
    Rec() = default;
    Rec(std::vector<Seen>& l, int w) : log(&l), who(w) {}
    void on_event(const LoopEvent& ev) override {
        log->push_back(Seen{who, ev.kind, ev.fd, ev.data, ev.signo, ev.timer});
        if (act) act(ev);
    }
};

// One iteration; returns what the handlers saw in it.
std::vector<Seen> run(EventLoop& loop, std::vector<Seen>& log) {
    log.clear();
    EXPECT_TRUE(loop.run_once().ok());
    return log;
}

int count(const std::vector<Seen>& seen, int who, EventKind kind) {
    int n = 0;
    for (const Seen& s : seen)
        n += s.who == who && s.kind == kind;
    return n;
}

// A pipe that the tests make readable to end a wait that should return nothing else.
constexpr int kTrigger = 0xfeed;
struct Trigger {
    int r = -1, w = -1;
    Rec rec;
    Trigger(EventLoop& loop, std::vector<Seen>& log) : rec(log, kTrigger) {
        int p[2];
        if (pipe2(p, O_NONBLOCK) == 0) {
            r = p[0];
            w = p[1];
        }
        EXPECT_TRUE(loop.add(r, rec).ok());
        rec.act = [this](const LoopEvent&) { drain(r); };
    }
    ~Trigger() {
        close(r);
        close(w);
    }
    void fire() { poke(w); }
};

// A loop, an event log, a trigger and handlers 0..7 on the same log.
struct World {
    std::unique_ptr<EventLoop> loop = make_loop();
    std::vector<Seen> log;
    Trigger trigger{*loop, log};
    Rec h[8];
    World() {
        for (int i = 0; i < 8; ++i)
            h[i] = Rec(log, i);
    }
    std::vector<Seen> once() { return run(*loop, log); }
    // An iteration that only the trigger ends.
    std::vector<Seen> quiet() {
        trigger.fire();
        return once();
    }
};

TEST(EventLoop, ManyRegistrationsAllFireOnce) {
    World w;
    std::vector<Pair> pairs(100);
    std::vector<Rec> recs;
    recs.reserve(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
        recs.emplace_back(w.log, 1000 + static_cast<int>(i));
        recs.back().act = [](const LoopEvent& ev) {
            char c;
            ASSERT_EQ(read(ev.fd, &c, 1), 1);
        };
        ASSERT_TRUE(w.loop->add(pairs[i].a, recs.back()).ok());
        poke(pairs[i].b);
    }
    std::map<int, int> seen;
    while (seen.size() < pairs.size()) {
        for (const Seen& s : w.once()) {
            ASSERT_EQ(s.kind, EventKind::read);
            EXPECT_EQ(s.fd, pairs[static_cast<size_t>(s.who - 1000)].a);
            ++seen[s.who];
        }
    }
    for (const auto& [who, n] : seen)
        EXPECT_EQ(n, 1) << who;
}

TEST(EventLoop, SeveralDescriptorsInOneBatchReachTheirHandlers) {
    World w;
    Pair p[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(w.loop->add(p[i].a, w.h[i]).ok());
        poke(p[i].b);
    }
    ASSERT_TRUE(w.loop->add_write_once(p[1].a).ok());
    std::vector<Seen> seen = w.once();
    ASSERT_EQ(seen.size(), 4u);
    for (const Seen& s : seen)
        EXPECT_EQ(s.fd, p[s.who].a);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(count(seen, i, EventKind::read), 1);
    EXPECT_EQ(count(seen, 1, EventKind::write), 1);
}

TEST(EventLoop, ReadIsLevelTriggeredAndPersistent) {
    World w;
    Pair p;
    ASSERT_TRUE(w.loop->add(p.a, w.h[5]).ok());
    poke(p.b);
    poke(p.b);
    for (int round = 0; round < 3; ++round) {
        std::vector<Seen> seen = w.once();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(count(seen, 5, EventKind::read), 1);
    }
    char buf[8];
    ASSERT_EQ(read(p.a, buf, sizeof buf), 2);
    poke(p.b);  // still registered after being drained
    EXPECT_EQ(count(w.once(), 5, EventKind::read), 1);
}

TEST(EventLoop, WriteOnceFiresOnceUntilRearmed) {
    World w;
    Pair p;
    ASSERT_TRUE(w.loop->add(p.a, w.h[7]).ok());
    ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
    std::vector<Seen> seen = w.once();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, EventKind::write);
    EXPECT_EQ(seen[0].fd, p.a);

    // Still writable, but the interest is gone: only the trigger fires.
    for (int round = 0; round < 2; ++round) {
        seen = w.quiet();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].who, kTrigger);
    }

    // Read interest survived the one-shot write.
    poke(p.b);
    seen = w.once();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, EventKind::read);
    drain(p.a);

    // Re-armed from the handler of the write it consumed: fires once more each time.
    int rearm = 2;
    w.h[7].act = [&](const LoopEvent& ev) {
        if (ev.kind == EventKind::write && rearm-- > 0) {
            ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
        }
    };
    ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
    for (int round = 0; round < 3; ++round)
        EXPECT_EQ(count(w.once(), 7, EventKind::write), 1);
    seen = w.quiet();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, kTrigger);
}

TEST(EventLoop, WriteOnceWaitsForSpace) {
    World w;
    Pair p;
    fill(p.a);
    ASSERT_TRUE(w.loop->add(p.a, w.h[1], false).ok());
    ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
    std::vector<Seen> seen = w.quiet();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, kTrigger);
    // The peer drains: now the write fires, once.
    drain(p.b);
    seen = w.once();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, EventKind::write);
    EXPECT_EQ(seen[0].who, 1);
}

TEST(EventLoop, HangUpReachesReadAndWriteInterest) {
    World w;
    Pair p;
    ASSERT_TRUE(w.loop->add(p.a, w.h[1]).ok());
    ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
    close(p.b);
    p.b = -1;
    std::vector<Seen> seen = w.once();
    EXPECT_EQ(count(seen, 1, EventKind::read), 1);
    EXPECT_EQ(count(seen, 1, EventKind::write), 1);
    char c;
    EXPECT_EQ(read(p.a, &c, 1), 0);
}

// Interest changes while the descriptor stays open. The socket is writable
// and has unread bytes throughout; each row's steps are followed by two
// iterations, with the read and write events each one brings.
enum class Step { read_off, read_on, write_on, write_off, write_once, remove, add, iterate };

TEST(EventLoop, InterestChangesWhileTheDescriptorStaysOpen) {
    using S = Step;
    const struct {
        const char* name;
        std::vector<Step> steps;
        int reads[2];
        int writes[2];
    } rows[] = {
        {"read off", {S::read_off}, {0, 0}, {0, 0}},
        {"read off, then on again", {S::read_off, S::iterate, S::read_on}, {1, 1}, {0, 0}},
        {"write on is persistent", {S::write_on}, {1, 1}, {1, 1}},
        {"write on, then off", {S::write_on, S::iterate, S::write_off}, {1, 1}, {0, 0}},
        {"write once", {S::write_once}, {1, 1}, {1, 0}},
        {"write once, then off", {S::write_once, S::write_off}, {1, 1}, {0, 0}},
        {"read renewed keeps a write once",
         {S::write_once, S::read_off, S::read_on},
         {1, 1},
         {1, 0}},
        {"write without read", {S::read_off, S::write_on}, {0, 0}, {1, 1}},
        {"removed", {S::write_on, S::remove}, {0, 0}, {0, 0}},
        {"removed, then added again", {S::remove, S::iterate, S::add}, {1, 1}, {0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        World w;
        Pair p;
        ASSERT_TRUE(w.loop->add(p.a, w.h[1]).ok());
        poke(p.b);
        for (const Step s : row.steps) {
            switch (s) {
                case S::read_off:
                case S::read_on:
                    ASSERT_TRUE(w.loop->set_read(p.a, s == S::read_on).ok());
                    break;
                case S::write_on:
                case S::write_off:
                    ASSERT_TRUE(w.loop->set_write(p.a, s == S::write_on).ok());
                    break;
                case S::write_once:
                    ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
                    break;
                case S::remove:
                    w.loop->remove(p.a);
                    EXPECT_EQ(w.loop->set_read(p.a, true).error(), Error::EventNotFound);
                    break;
                case S::add:
                    ASSERT_TRUE(w.loop->add(p.a, w.h[1]).ok());
                    break;
                case S::iterate:
                    w.quiet();
                    break;
            }
        }
        for (int i = 0; i < 2; ++i) {
            const std::vector<Seen> seen = w.quiet();
            EXPECT_EQ(count(seen, 1, EventKind::read), row.reads[i]) << i;
            EXPECT_EQ(count(seen, 1, EventKind::write), row.writes[i]) << i;
        }
    }
}

// Two readable descriptors in one batch: whichever handler runs first acts on
// the other registration, whose event of the batch must then not be delivered.
TEST(EventLoop, ChangesDuringDispatchHoldForTheRestOfTheBatch) {
    enum class Act { remove, read_off, remove_and_close, close_and_reuse };
    const struct {
        const char* name;
        Act act;
    } rows[] = {
        {"removed", Act::remove},
        {"read interest off", Act::read_off},
        {"removed and closed", Act::remove_and_close},
        {"closed, number reused and registered anew", Act::close_and_reuse},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        World w;
        Pair p[2];
        std::unique_ptr<Pair> reuse;
        bool acted = false;
        for (int i = 0; i < 2; ++i) {
            Pair& other = p[1 - i];
            w.h[i].act = [&, i](const LoopEvent&) {
                if (acted) return;  // the other ran first, or an earlier batch
                acted = true;
                switch (row.act) {
                    case Act::remove:
                        w.loop->remove(other.a);
                        break;
                    case Act::read_off:
                        ASSERT_TRUE(w.loop->set_read(other.a, false).ok());
                        break;
                    case Act::remove_and_close:
                        w.loop->remove(other.a);
                        other.close_a();
                        break;
                    case Act::close_and_reuse: {
                        const int number = other.a;
                        other.close_a();
                        reuse = std::make_unique<Pair>();
                        ASSERT_EQ(reuse->a, number);
                        ASSERT_TRUE(w.loop->add(reuse->a, w.h[2]).ok());
                        poke(reuse->b);
                        break;
                    }
                }
            };
            ASSERT_TRUE(w.loop->add(p[i].a, w.h[i]).ok());
            poke(p[i].b);
        }
        const std::vector<Seen> seen = w.once();
        EXPECT_EQ(count(seen, 0, EventKind::read) + count(seen, 1, EventKind::read), 1);
        EXPECT_EQ(count(seen, 2, EventKind::read), 0);
        if (reuse) {
            // The new owner's own readiness comes with the next wait.
            EXPECT_EQ(count(w.once(), 2, EventKind::read), 1);
        }
    }
}

TEST(EventLoop, RefusedChangeIsAnErrorEventToItsHandler) {
    World w;
    Pair p;
    const int fd = p.a;
    ASSERT_TRUE(w.loop->add(p.a, w.h[3], false).ok());
    ASSERT_TRUE(w.loop->add_write_once(p.a).ok());
    p.close_a();
    // The refused change comes back as an event, not as a failed wait.
    std::vector<Seen> seen = w.once();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, 3);
    EXPECT_EQ(seen[0].kind, EventKind::error);
    EXPECT_EQ(seen[0].fd, fd);
    EXPECT_EQ(seen[0].data, EBADF);
    // And the loop carries on.
    seen = w.quiet();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, kTrigger);
}

TEST(EventLoop, AddReportsErrors) {
    World w;
    EXPECT_EQ(w.loop->add(-1, w.h[0]).error(), Error::EventNotFound);
    Pair p;
    const int fd = p.a;
    p.close_all();
    EXPECT_EQ(w.loop->add(fd, w.h[0]).error(), Error::EventNotFound);
    EXPECT_EQ(w.loop->set_write(fd, true).error(), Error::EventNotFound);
    EXPECT_EQ(w.loop->add_write_once(fd).error(), Error::EventNotFound);
}

TEST(EventLoop, ReusedNumberDoesNotInheritArmedWriteOnce) {
    World w;
    auto p = std::make_unique<Pair>();
    const int fd = p->a;
    fill(p->a);
    ASSERT_TRUE(w.loop->add(p->a, w.h[3]).ok());
    ASSERT_TRUE(w.loop->add_write_once(p->a).ok());
    ASSERT_EQ(w.quiet().size(), 1u);  // the write is now armed in the kernel
    p.reset();

    Pair q;
    ASSERT_EQ(q.a, fd);  // the lowest free number comes back
    ASSERT_TRUE(w.loop->add(q.a, w.h[7]).ok());
    poke(q.b);
    std::vector<Seen> seen = w.once();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, 7);
    EXPECT_EQ(seen[0].kind, EventKind::read);
    drain(q.a);
    seen = w.quiet();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, kTrigger);
}

TEST(EventLoop, ReusedNumberDoesNotInheritQueuedWriteOnce) {
    World w;
    auto p = std::make_unique<Pair>();
    const int fd = p->a;
    ASSERT_TRUE(w.loop->add(p->a, w.h[3], false).ok());
    ASSERT_TRUE(w.loop->add_write_once(p->a).ok());
    p.reset();  // closed before the change reached the kernel
    Pair q;
    ASSERT_EQ(q.a, fd);
    ASSERT_TRUE(w.loop->add(q.a, w.h[4]).ok());
    const std::vector<Seen> seen = w.quiet();
    EXPECT_EQ(count(seen, 3, EventKind::write) + count(seen, 4, EventKind::write), 0);
    EXPECT_EQ(count(seen, kTrigger, EventKind::read), 1);
}

TEST(EventLoop, ReusedNumberDoesNotInheritReadInterest) {
    World w;
    auto p = std::make_unique<Pair>();
    const int fd = p->a;
    ASSERT_TRUE(w.loop->add(p->a, w.h[1]).ok());
    ASSERT_EQ(w.quiet().size(), 1u);
    p.reset();
    // The new owner asks for a write only (a connecting socket does that).
    Pair q;
    ASSERT_EQ(q.a, fd);
    ASSERT_TRUE(w.loop->add(q.a, w.h[2], false).ok());
    ASSERT_TRUE(w.loop->add_write_once(q.a).ok());
    poke(q.b);
    std::vector<Seen> seen = w.once();
    EXPECT_EQ(count(seen, 2, EventKind::write), 1);
    EXPECT_EQ(count(seen, 1, EventKind::read) + count(seen, 2, EventKind::read), 0);
    seen = w.quiet();
    EXPECT_EQ(count(seen, 1, EventKind::read) + count(seen, 2, EventKind::read), 0);
    EXPECT_EQ(count(seen, kTrigger, EventKind::read), 1);
}

// Timers: each row arms timers (who, delay, period) and a reaction of the
// handlers; the loop runs until as many timer events as expected have come.
// Timer 7 ends a row: armed with the others, or disarmed until a reaction arms
// it, so that a slow run never changes the order.
TEST(EventLoopTimers, OrderCancelAndRearm) {
    struct Arm {
        int who;
        uint64_t delay;
        uint64_t period;
    };
    using Ids = std::vector<TimerId>;
    using React = std::function<void(EventLoop&, const Ids&, int who, int nth)>;
    const React none = [](EventLoop&, const Ids&, int, int) {};
    const struct {
        const char* name;
        std::vector<Arm> arms;
        React react;
        std::vector<int> order;
    } rows[] = {
        {"one-shot timers fire in deadline order, ties in arming order",
         {{0, 60, 0}, {1, 20, 0}, {2, 40, 0}, {3, 20, 0}},
         none,
         {1, 3, 2, 0}},
        {"periodic until cancelled from its own handler",
         {{0, 10, 10}},
         [](EventLoop& l, const Ids& id, int who, int nth) {
             if (who != 0 || nth != 3) return;
             ASSERT_TRUE(l.cancel_timer(id[0]).ok());
             ASSERT_TRUE(l.arm_timer(id[7], 30).ok());
         },
         {0, 0, 0, 7}},
        {"one-shot re-armed from its own handler",
         {{0, 10, 0}},
         [](EventLoop& l, const Ids& id, int who, int nth) {
             if (who == 0) {
                 ASSERT_TRUE(l.arm_timer(id[nth < 3 ? 0 : 7], 10).ok());
             }
         },
         {0, 0, 0, 7}},
        {"periodic re-armed as one-shot",
         {{0, 10, 10}},
         [](EventLoop& l, const Ids& id, int who, int nth) {
             if (who == 0) {
                 ASSERT_TRUE(l.arm_timer(id[nth == 1 ? 0 : 7], nth == 1 ? 10 : 40).ok());
             }
         },
         {0, 0, 7}},
        {"cancelled by another before it fires",
         {{0, 10, 0}, {1, 60, 0}, {7, 200, 0}},
         [](EventLoop& l, const Ids& id, int who, int) {
             if (who == 0) {
                 ASSERT_TRUE(l.cancel_timer(id[1]).ok());
             }
         },
         {0, 7}},
        {"cancelled and re-armed by another",
         {{0, 60, 0}, {1, 10, 0}},
         [](EventLoop& l, const Ids& id, int who, int) {
             if (who == 1) {
                 ASSERT_TRUE(l.cancel_timer(id[0]).ok());
                 ASSERT_TRUE(l.arm_timer(id[0], 120).ok());
             }
             if (who == 0) {
                 ASSERT_TRUE(l.arm_timer(id[7], 10).ok());
             }
         },
         {1, 0, 7}},
        {"removed by another: never fires, its id is refused",
         {{0, 10, 0}, {1, 60, 0}, {7, 200, 0}},
         [](EventLoop& l, const Ids& id, int who, int) {
             if (who != 0) return;
             l.remove_timer(id[1]);
             EXPECT_EQ(l.arm_timer(id[1], 1).error(), Error::EventNotFound);
             EXPECT_EQ(l.cancel_timer(id[1]).error(), Error::EventNotFound);
         },
         {0, 7}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        World w;
        Ids ids(8, 0);
        std::map<int, int> fired;
        for (const Arm& a : row.arms) {
            auto id = w.loop->add_timer(w.h[a.who], a.delay, a.period);
            ASSERT_TRUE(id.ok());
            ids[static_cast<size_t>(a.who)] = *id;
        }
        if (ids[7] == 0) {
            auto id = w.loop->add_timer(w.h[7], 0);
            ASSERT_TRUE(id.ok());
            ids[7] = *id;
            ASSERT_TRUE(w.loop->cancel_timer(*id).ok());
        }
        for (int who = 0; who < 8; ++who)
            w.h[who].act = [&, who](const LoopEvent& ev) {
                EXPECT_EQ(ev.timer, ids[static_cast<size_t>(who)]);
                EXPECT_GE(ev.data, 1);
                row.react(*w.loop, ids, who, ++fired[who]);
            };
        std::vector<int> order;
        while (order.size() < row.order.size()) {
            for (const Seen& s : w.once()) {
                ASSERT_EQ(s.kind, EventKind::timer);
                order.push_back(s.who);
            }
        }
        EXPECT_EQ(order, row.order);
    }
}

// Signals are process-wide: these tests block what they watch and leave it blocked.
TEST(EventLoopSignals, TwoSigintBeforeOneWaitAreOneEvent) {
    World w;
    ASSERT_TRUE(w.loop->watch_signal(SIGTERM, w.h[1]).ok());
    ASSERT_TRUE(w.loop->watch_signal(SIGINT, w.h[2]).ok());
    raise(SIGINT);
    raise(SIGINT);
    const std::vector<Seen> seen = w.once();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].who, 2);
    EXPECT_EQ(seen[0].kind, EventKind::signal);
    EXPECT_EQ(seen[0].signo, SIGINT);
    EXPECT_GE(seen[0].data, 1);
    EXPECT_LE(seen[0].data, 2);
}

TEST(EventLoopSignals, DistinctSignalsAreDistinctEvents) {
    World w;
    Pair p;
    ASSERT_TRUE(w.loop->watch_signal(SIGTERM, w.h[1]).ok());
    ASSERT_TRUE(w.loop->watch_signal(SIGINT, w.h[1]).ok());
    ASSERT_TRUE(w.loop->watch_signal(SIGHUP, w.h[1]).ok());  // extends the watched set
    ASSERT_TRUE(w.loop->add(p.a, w.h[2]).ok());
    poke(p.b);
    raise(SIGHUP);
    raise(SIGTERM);
    std::vector<Seen> all;
    while (count(all, 1, EventKind::signal) < 2) {
        const std::vector<Seen> more = w.once();
        all.insert(all.end(), more.begin(), more.end());
    }
    int hup = 0, term = 0;
    for (const Seen& s : all) {
        if (s.kind != EventKind::signal) continue;
        hup += s.signo == SIGHUP;
        term += s.signo == SIGTERM;
        EXPECT_EQ(s.data, 1);
    }
    EXPECT_EQ(hup, 1);
    EXPECT_EQ(term, 1);
    EXPECT_GE(count(all, 2, EventKind::read), 1);
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

    World w;
    Pair p;
    ASSERT_TRUE(w.loop->add(p.a, w.h[4]).ok());
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
    w.log.clear();
    const Result<void> r = w.loop->run_once();
    helper.join();
    sigaction(SIGUSR1, &old, nullptr);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(g_usr1.load(), 1);
    ASSERT_EQ(w.log.size(), 1u);
    EXPECT_EQ(w.log[0].who, 4);
}

}  // namespace
}  // namespace fenra
