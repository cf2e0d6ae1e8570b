// Linux backend of the event loop: epoll for descriptors, one signalfd for the
// watched signals.
//
// epoll keeps one registration per descriptor, so the loop keeps a record per
// descriptor number (read tag and read interest, write tag and a pending
// one-shot write) and turns the record into one epoll_ctl when a queued change
// is applied at the next wait. One-shot write is emulated: when EPOLLOUT fires
// for a descriptor with a write pending, one write event is emitted, the
// pending flag is cleared and EPOLLOUT is dropped from the kernel's interest
// at the start of the next wait (no further epoll_wait can happen before).
//
// A queued change that the kernel refuses (typically EBADF: the descriptor was
// closed before the change reached the kernel) is reported like a kernel with
// per-change error events would: as an event of kind `other` with the change's
// tag, its fd and data = errno, returned by the next wait without blocking.
// It never fails the wait itself, so a handler that closes a descriptor with
// a change still queued cannot bring the loop down. wait() fails only when
// epoll_wait itself fails.
//
// A descriptor number that was closed and reused is noticed in two ways: a
// read registration with a tag that the record does not carry starts a fresh
// record (so a new owner never inherits a stale write-once), and EPOLL_CTL_MOD
// failing with ENOENT means the kernel dropped the old registration with the
// old file, so only what was asked since the last application is kept.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/event_loop.h"

namespace fenra {
namespace {

constexpr size_t kMaxFdTable = 65536;  // initial record table cap; grows past it on demand
constexpr int kMaxSignal = 64;
constexpr size_t kSigBatch = 16;

struct FdRecord {
    uint64_t read_tag = 0;
    uint64_t write_tag = 0;
    uint32_t kernel_mask = 0;  // what epoll holds for this number (when in_kernel)
    bool in_kernel = false;
    bool read_on = false;
    bool write_pending = false;
    bool fresh_read = false;   // asked for since the last application
    bool fresh_write = false;  // asked for since the last application
    bool queued = false;       // in the change list
};

Error ctl_error(int err) {
    switch (err) {
        case ENOMEM:
        case ENOSPC:
            return Error::SystemResources;
        case ENOENT:
        case EBADF:
            return Error::EventNotFound;
        default:
            return Error::Unexpected;
    }
}

size_t initial_table_size() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kMaxFdTable;
    return rl.rlim_cur < kMaxFdTable ? static_cast<size_t>(rl.rlim_cur) : kMaxFdTable;
}

}  // namespace

struct EventLoop::Backend {
    int epfd = -1;
    int sigfd = -1;
    sigset_t sigmask;
    size_t change_cap = 0;
    size_t event_cap = 0;

    std::vector<FdRecord> fds;
    std::vector<int> changes;     // descriptors with a queued registration, change_cap
    std::vector<int> disarm;      // descriptors whose one-shot write fired, event_cap
    std::vector<LoopEvent> errs;  // refused changes, reported by the next wait
    size_t nchanges = 0;
    size_t ndisarm = 0;
    size_t nerrs = 0;

    std::vector<epoll_event> kevs;  // event_cap
    std::vector<LoopEvent> out;     // up to two events per kernel event, plus signals
    size_t nout = 0;
    signalfd_siginfo siginfo[kSigBatch];
    int64_t sigcount[kMaxSignal + 1] = {};

    FdRecord* record(int fd) {
        if (fd < 0) return nullptr;
        const size_t n = static_cast<size_t>(fd);
        if (n >= fds.size()) fds.resize(n + 1 > 2 * fds.size() ? n + 1 : 2 * fds.size());
        return &fds[n];
    }

    void report(int fd, const FdRecord& r, int err) {
        if (nerrs == errs.size()) return;  // more refusals than one wait can return
        const uint64_t tag = r.fresh_write && !r.fresh_read ? r.write_tag : r.read_tag;
        errs[nerrs++] = LoopEvent{tag, err, fd, EventKind::other};
    }

    int ctl(int op, int fd, uint32_t mask) {
        epoll_event ev;
        std::memset(&ev, 0, sizeof ev);
        ev.events = mask;
        ev.data.fd = fd;
        return epoll_ctl(epfd, op, fd, &ev) == 0 ? 0 : errno;
    }

    // Brings the kernel in line with the record. Returns 0 or the errno.
    int apply(int fd) {
        FdRecord& r = fds[static_cast<size_t>(fd)];
        uint32_t want = (r.read_on ? EPOLLIN : 0u) | (r.write_pending ? EPOLLOUT : 0u);
        int err = 0;
        if (r.in_kernel && want == r.kernel_mask && !r.fresh_read && !r.fresh_write) {
            // nothing to tell the kernel (a fresh request is always told: the
            // number may have been closed and reused since it was registered)
        } else if (!r.in_kernel) {
            if (want != 0) {
                err = ctl(EPOLL_CTL_ADD, fd, want);
                if (err == EEXIST) err = ctl(EPOLL_CTL_MOD, fd, want);
            }
        } else if (want == 0) {
            // EPOLLHUP and EPOLLERR cannot be masked, so an idle descriptor leaves epoll.
            err = ctl(EPOLL_CTL_DEL, fd, 0);
            if (err == ENOENT || err == EBADF) err = 0;
        } else {
            err = ctl(EPOLL_CTL_MOD, fd, want);
            if (err == ENOENT) {
                // The number was closed (and maybe reused): the kernel forgot the old
                // interest with the old file; only requests made since then stand.
                r.read_on = r.read_on && r.fresh_read;
                r.write_pending = r.write_pending && r.fresh_write;
                want = (r.read_on ? EPOLLIN : 0u) | (r.write_pending ? EPOLLOUT : 0u);
                err = want != 0 ? ctl(EPOLL_CTL_ADD, fd, want) : 0;
            }
        }
        if (err != 0) {
            // Dropping a fired write from a descriptor closed since is no change
            // the daemon asked for: nothing to report.
            if (r.fresh_read || r.fresh_write) report(fd, r, err);
            const bool queued = r.queued;
            r = FdRecord{};
            r.queued = queued;
            return err;
        }
        r.in_kernel = want != 0;
        r.kernel_mask = want;
        r.fresh_read = false;
        r.fresh_write = false;
        return 0;
    }

    void apply_changes() {
        for (size_t i = 0; i < ndisarm; ++i)
            apply(disarm[i]);
        ndisarm = 0;
        for (size_t i = 0; i < nchanges; ++i) {
            fds[static_cast<size_t>(changes[i])].queued = false;
            apply(changes[i]);
        }
        nchanges = 0;
    }

    void enqueue(int fd, FdRecord& r) {
        if (r.queued) return;
        // A full list goes to the kernel at once; no registration is ever dropped.
        if (nchanges == change_cap) apply_changes();
        r.queued = true;
        changes[nchanges++] = fd;
    }

    // Read registration: a tag the record does not carry means a new owner of the
    // descriptor number, which starts from a clean record.
    void set_read(FdRecord& r, uint64_t tag) {
        const bool known =
            (r.read_on && r.read_tag == tag) || (r.write_pending && r.write_tag == tag);
        if (!known) {
            r.read_on = false;
            r.write_pending = false;
            r.fresh_write = false;
        }
        r.read_on = true;
        r.read_tag = tag;
        r.fresh_read = true;
    }

    void emit(uint64_t tag, int64_t data, int fd, EventKind kind) {
        out[nout++] = LoopEvent{tag, data, fd, kind};
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
            emit(static_cast<uint64_t>(s), sigcount[s], -1, EventKind::signal);
            sigcount[s] = 0;
        }
    }

    void convert(const epoll_event& ev) {
        const int fd = ev.data.fd;
        if (fd == sigfd) {
            drain_signals();
            return;
        }
        if (fd < 0 || static_cast<size_t>(fd) >= fds.size()) return;
        FdRecord& r = fds[static_cast<size_t>(fd)];
        const uint32_t e = ev.events;
        // A hang-up or error is delivered to whichever interest is on: the read
        // or write that follows sees the end of stream or the error.
        if ((e & (EPOLLIN | EPOLLHUP | EPOLLERR)) && r.read_on)
            emit(r.read_tag, 0, fd, EventKind::read);
        if ((e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) && r.write_pending) {
            emit(r.write_tag, 0, fd, EventKind::write);
            r.write_pending = false;
            r.fresh_write = false;
            disarm[ndisarm++] = fd;
        }
    }
};

Result<std::unique_ptr<EventLoop>> EventLoop::create(size_t change_capacity,
                                                     size_t event_capacity) {
    if (change_capacity == 0 || event_capacity == 0) return Error::InvalidArgs;
    Backend* b = new (std::nothrow) Backend;
    if (b == nullptr) return Error::OutOfMemory;
    b->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (b->epfd < 0) {
        const int err = errno;
        delete b;
        return err == EMFILE ? Error::ProcessFdQuotaExceeded : Error::SystemResources;
    }
    sigemptyset(&b->sigmask);
    b->change_cap = change_capacity;
    b->event_cap = event_capacity;
    b->fds.resize(initial_table_size());
    b->changes.resize(change_capacity);
    b->disarm.resize(event_capacity);
    b->errs.resize(event_capacity);
    b->kevs.resize(event_capacity);
    b->out.resize(2 * event_capacity + kMaxSignal);
    return std::unique_ptr<EventLoop>(new EventLoop(b));
}

EventLoop::~EventLoop() {
    if (b_->sigfd >= 0) close(b_->sigfd);
    close(b_->epfd);
    delete b_;
}

Result<void> EventLoop::register_read_now(int fd, uint64_t tag) {
    FdRecord* r = b_->record(fd);
    if (r == nullptr) return Error::EventNotFound;
    b_->set_read(*r, tag);
    const size_t before = b_->nerrs;
    const int err = b_->apply(fd);
    if (err != 0) {
        b_->nerrs = before;  // returned here, not reported again by the wait
        return ctl_error(err);
    }
    return {};
}

Result<void> EventLoop::add_read(int fd, uint64_t tag) {
    FdRecord* r = b_->record(fd);
    if (r == nullptr) return Error::EventNotFound;
    b_->set_read(*r, tag);
    b_->enqueue(fd, *r);
    return {};
}

Result<void> EventLoop::add_write_once(int fd, uint64_t tag) {
    FdRecord* r = b_->record(fd);
    if (r == nullptr) return Error::EventNotFound;
    r->write_pending = true;
    r->write_tag = tag;
    r->fresh_write = true;
    b_->enqueue(fd, *r);
    return {};
}

Result<void> EventLoop::watch_signal(int signo) {
    if (signo <= 0 || signo > kMaxSignal) return Error::InvalidArgs;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    if (sigprocmask(SIG_BLOCK, &one, nullptr) != 0) return Error::InvalidArgs;
    sigaddset(&b_->sigmask, signo);
    if (b_->sigfd >= 0) {
        // Extends the mask of the existing signalfd.
        if (signalfd(b_->sigfd, &b_->sigmask, 0) < 0) return Error::SystemResources;
        return {};
    }
    const int fd = signalfd(-1, &b_->sigmask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return errno == EMFILE ? Error::ProcessFdQuotaExceeded : Error::SystemResources;
    epoll_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(b_->epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        const int err = errno;
        close(fd);
        return ctl_error(err);
    }
    b_->sigfd = fd;
    return {};
}

Result<std::span<const LoopEvent>> EventLoop::wait() {
    Backend& b = *b_;
    b.nout = 0;
    for (;;) {
        b.apply_changes();
        if (b.nerrs > 0) {
            // Refused changes come back alone, without blocking.
            for (size_t i = 0; i < b.nerrs; ++i)
                b.out[b.nout++] = b.errs[i];
            b.nerrs = 0;
            return std::span<const LoopEvent>(b.out.data(), b.nout);
        }
        const int n = epoll_wait(b.epfd, b.kevs.data(), static_cast<int>(b.event_cap), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return detail::wait_error(errno);
        }
        for (int i = 0; i < n; ++i)
            b.convert(b.kevs[static_cast<size_t>(i)]);
        // Readiness that converted to nothing (a signal already consumed) waits again.
        if (b.nout > 0) return std::span<const LoopEvent>(b.out.data(), b.nout);
    }
}

size_t EventLoop::pending_changes() const {
    return b_->nchanges;
}

}  // namespace fenra
