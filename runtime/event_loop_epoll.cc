// Linux backend of the event loop: epoll for descriptors, one signalfd for the
// watched signals, one timerfd (CLOCK_MONOTONIC, absolute) for the earliest
// timer deadline.
//
// epoll keeps one registration per descriptor: read and write interest are one
// mask, changed with EPOLL_CTL_MOD, and a descriptor without interest leaves
// epoll (EPOLLHUP and EPOLLERR cannot be masked). Each registration's data
// carries its descriptor and serial; the signalfd and the timerfd carry keys
// that no descriptor's data can take.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/event_loop_backend.h"

namespace fenra::detail {
namespace {

constexpr int kMaxSignal = 64;
constexpr size_t kSigBatch = 16;
constexpr uint64_t kSignalKey = ~uint64_t{0};
constexpr uint64_t kTimerKey = ~uint64_t{0} - 1;

uint64_t key_of(int fd, uint32_t serial) {
    return static_cast<uint64_t>(serial) << 32 | static_cast<uint32_t>(fd);
}

uint32_t mask_of(KernelInterest i) {
    return (i.read ? EPOLLIN : 0u) | (i.write ? EPOLLOUT : 0u);
}

Error open_error(int err) {
    return err == EMFILE ? Error::ProcessFdQuotaExceeded : Error::SystemResources;
}

}  // namespace

struct KernelQueue::State {
    int epfd = -1;
    int sigfd = -1;
    int timerfd = -1;
    sigset_t sigmask;
    std::vector<epoll_event> kevs;
    std::vector<RawEvent> out;  // one per kernel event, plus one per signal
    size_t nout = 0;
    signalfd_siginfo siginfo[kSigBatch];
    int64_t sigcount[kMaxSignal + 1] = {};

    ~State() {
        if (sigfd >= 0) close(sigfd);
        if (timerfd >= 0) close(timerfd);
        if (epfd >= 0) close(epfd);
    }

    int ctl(int op, int fd, uint32_t mask, uint64_t key) {
        epoll_event ev;
        std::memset(&ev, 0, sizeof ev);
        ev.events = mask;
        ev.data.u64 = key;
        return epoll_ctl(epfd, op, fd, &ev) == 0 ? 0 : errno;
    }

    void emit(RawEvent::Kind kind, int ident, uint32_t serial, int64_t data, bool r, bool w) {
        out[nout++] = RawEvent{data, ident, serial, kind, r, w};
    }

    // Drains the signalfd: one event per distinct signal, data = records read for it.
    void drain_signals() {
        int order[kMaxSignal];
        int distinct = 0;
        for (;;) {
            const ssize_t n = read(sigfd, siginfo, sizeof siginfo);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            const size_t records = static_cast<size_t>(n) / sizeof(signalfd_siginfo);
            for (size_t i = 0; i < records; ++i) {
                const uint32_t s = siginfo[i].ssi_signo;
                if (s == 0 || s > static_cast<uint32_t>(kMaxSignal)) continue;
                if (sigcount[s]++ == 0) order[distinct++] = static_cast<int>(s);
            }
            if (records < kSigBatch) break;
        }
        for (int i = 0; i < distinct; ++i) {
            const int s = order[i];
            emit(RawEvent::Kind::signal, s, 0, sigcount[s], false, false);
            sigcount[s] = 0;
        }
    }

    void convert(const epoll_event& ev) {
        const uint64_t key = ev.data.u64;
        if (key == kSignalKey) {
            drain_signals();
            return;
        }
        if (key == kTimerKey) {
            uint64_t ticks = 0;
            if (read(timerfd, &ticks, sizeof ticks) != sizeof ticks) return;  // already consumed
            emit(RawEvent::Kind::timer, -1, 0, 0, false, false);
            return;
        }
        const uint32_t e = ev.events;
        // A hang-up or error goes to whichever interest is on: the read or
        // write that follows sees the end of stream or the error.
        emit(RawEvent::Kind::fd, static_cast<int>(static_cast<uint32_t>(key)),
             static_cast<uint32_t>(key >> 32), 0, (e & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0,
             (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0);
    }
};

Result<void> KernelQueue::start(size_t event_capacity) {
    s_ = new (std::nothrow) State;
    if (s_ == nullptr) return Error::OutOfMemory;
    State& s = *s_;
    s.epfd = epoll_create1(EPOLL_CLOEXEC);
    if (s.epfd < 0) return open_error(errno);
    s.timerfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (s.timerfd < 0) return open_error(errno);
    if (const int err = s.ctl(EPOLL_CTL_ADD, s.timerfd, EPOLLIN, kTimerKey); err != 0)
        return wait_error(err);
    sigemptyset(&s.sigmask);
    s.kevs.resize(event_capacity);
    s.out.resize(event_capacity + kMaxSignal);
    return {};
}

KernelQueue::~KernelQueue() {
    delete s_;
}

int KernelQueue::update(int fd, uint32_t serial, bool fresh, KernelInterest held,
                        KernelInterest want) {
    const uint32_t mask = mask_of(want);
    const uint64_t key = key_of(fd, serial);
    const bool in_kernel = held.read || held.write;
    if (mask == 0) {
        if (!in_kernel) return 0;
        // A closed number is gone from epoll already.
        const int err = s_->ctl(EPOLL_CTL_DEL, fd, 0, key);
        return err == ENOENT || err == EBADF ? 0 : err;
    }
    if (fresh || !in_kernel) {
        // A fresh registration of a number still held (not closed) replaces it.
        const int err = s_->ctl(EPOLL_CTL_ADD, fd, mask, key);
        return err == EEXIST ? s_->ctl(EPOLL_CTL_MOD, fd, mask, key) : err;
    }
    return s_->ctl(EPOLL_CTL_MOD, fd, mask, key);
}

Result<void> KernelQueue::watch_signal(int signo) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    if (sigprocmask(SIG_BLOCK, &one, nullptr) != 0) return Error::InvalidArgs;
    sigaddset(&s_->sigmask, signo);
    if (s_->sigfd >= 0) {
        // Extends the mask of the existing signalfd.
        if (signalfd(s_->sigfd, &s_->sigmask, 0) < 0) return Error::SystemResources;
        return {};
    }
    const int fd = signalfd(-1, &s_->sigmask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return open_error(errno);
    if (const int err = s_->ctl(EPOLL_CTL_ADD, fd, EPOLLIN, kSignalKey); err != 0) {
        close(fd);
        return wait_error(err);
    }
    s_->sigfd = fd;
    return {};
}

Result<void> KernelQueue::arm_timer(int64_t deadline_ms) {
    itimerspec t;
    std::memset(&t, 0, sizeof t);
    t.it_value.tv_sec = static_cast<time_t>(deadline_ms / 1000);
    t.it_value.tv_nsec = static_cast<long>(deadline_ms % 1000) * 1000000;
    if (t.it_value.tv_sec == 0 && t.it_value.tv_nsec == 0) t.it_value.tv_nsec = 1;  // 0 disarms
    if (timerfd_settime(s_->timerfd, TFD_TIMER_ABSTIME, &t, nullptr) != 0) return wait_error(errno);
    return {};
}

Result<std::span<const RawEvent>> KernelQueue::wait() {
    State& s = *s_;
    s.nout = 0;
    for (;;) {
        const int n = epoll_wait(s.epfd, s.kevs.data(), static_cast<int>(s.kevs.size()), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return wait_error(errno);
        }
        for (int i = 0; i < n; ++i)
            s.convert(s.kevs[static_cast<size_t>(i)]);
        // Readiness that converted to nothing (a signal already consumed) waits again.
        if (s.nout > 0) return std::span<const RawEvent>(s.out.data(), s.nout);
    }
}

}  // namespace fenra::detail
