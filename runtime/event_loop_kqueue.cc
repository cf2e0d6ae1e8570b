// FreeBSD backend of the event loop: one kqueue, a change list of struct
// kevent handed to the kernel with the next wait, EVFILT_SIGNAL for the
// watched signals.
//
// The kernel reports a refused change as an event carrying EV_ERROR (kind
// `other`, data = errno) and then returns without waiting; the Linux backend
// reports refused changes the same way. A full change list is handed over at
// once with EV_RECEIPT, so that each change comes back as a receipt and none
// of the ready events is consumed; refused ones are kept and returned by the
// next wait, like the refusals of the wait's own change list.
#include <signal.h>
#include <sys/event.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "runtime/event_loop.h"

namespace fenra {
namespace {

void* tag_ptr(uint64_t tag) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(tag));
}

uint64_t ptr_tag(void* p) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

struct EventLoop::Backend {
    int kq = -1;
    size_t change_cap = 0;
    size_t event_cap = 0;
    std::vector<struct kevent> changes;   // change_cap
    std::vector<struct kevent> receipts;  // change_cap
    std::vector<struct kevent> kevs;      // event_cap
    std::vector<LoopEvent> errs;          // refusals of early hand-overs, event_cap
    std::vector<LoopEvent> out;           // event_cap
    size_t nchanges = 0;
    size_t nerrs = 0;

    static LoopEvent convert(const struct kevent& k) {
        const int fd = static_cast<int>(k.ident);
        if (k.flags & EV_ERROR)
            return LoopEvent{ptr_tag(k.udata), static_cast<int64_t>(k.data), fd, EventKind::other};
        switch (k.filter) {
            case EVFILT_READ:
                return LoopEvent{ptr_tag(k.udata), static_cast<int64_t>(k.data), fd,
                                 EventKind::read};
            case EVFILT_WRITE:
                return LoopEvent{ptr_tag(k.udata), static_cast<int64_t>(k.data), fd,
                                 EventKind::write};
            case EVFILT_SIGNAL:
                return LoopEvent{static_cast<uint64_t>(k.ident), static_cast<int64_t>(k.data), -1,
                                 EventKind::signal};
            case EVFILT_TIMER:
                return LoopEvent{static_cast<uint64_t>(k.ident), static_cast<int64_t>(k.data), -1,
                                 EventKind::timer};
            case EVFILT_PROC:
                return LoopEvent{static_cast<uint64_t>(k.ident), static_cast<int64_t>(k.data), -1,
                                 EventKind::proc};
            default:
                return LoopEvent{ptr_tag(k.udata), static_cast<int64_t>(k.data), fd,
                                 EventKind::other};
        }
    }

    // Hands the change list to the kernel without collecting any ready event.
    Result<void> hand_over() {
        if (nchanges == 0) return {};
        for (size_t i = 0; i < nchanges; ++i)
            changes[i].flags |= EV_RECEIPT;
        const struct timespec zero = {0, 0};
        const int n = kevent(kq, changes.data(), static_cast<int>(nchanges), receipts.data(),
                             static_cast<int>(nchanges), &zero);
        nchanges = 0;
        if (n < 0) return detail::wait_error(errno);
        for (int i = 0; i < n; ++i) {
            const struct kevent& k = receipts[static_cast<size_t>(i)];
            if ((k.flags & EV_ERROR) && k.data != 0 && nerrs < errs.size())
                errs[nerrs++] = convert(k);
        }
        return {};
    }

    Result<void> append(uintptr_t ident, short filter, unsigned short flags, uint64_t tag) {
        if (nchanges == change_cap) {
            // The list is full: hand it over now, never drop a change.
            Result<void> r = hand_over();
            EV_SET(&changes[nchanges++], ident, filter, flags, 0, 0, tag_ptr(tag));
            return r;
        }
        EV_SET(&changes[nchanges++], ident, filter, flags, 0, 0, tag_ptr(tag));
        return {};
    }

    // A read registration under a new tag means a new owner of the descriptor
    // number: a write-once queued by the previous owner is dropped.
    void drop_stale_writes(uintptr_t ident, uint64_t tag) {
        size_t kept = 0;
        for (size_t i = 0; i < nchanges; ++i) {
            const struct kevent& k = changes[i];
            if (k.ident == ident && k.filter == EVFILT_WRITE && ptr_tag(k.udata) != tag) continue;
            changes[kept++] = k;
        }
        nchanges = kept;
    }
};

Result<std::unique_ptr<EventLoop>> EventLoop::create(size_t change_capacity,
                                                     size_t event_capacity) {
    if (change_capacity == 0 || event_capacity == 0) return Error::InvalidArgs;
    Backend* b = new (std::nothrow) Backend;
    if (b == nullptr) return Error::OutOfMemory;
    b->kq = kqueue();
    if (b->kq < 0) {
        const int err = errno;
        delete b;
        return err == EMFILE ? Error::ProcessFdQuotaExceeded : Error::SystemResources;
    }
    b->change_cap = change_capacity;
    b->event_cap = event_capacity;
    b->changes.resize(change_capacity);
    b->receipts.resize(change_capacity);
    b->kevs.resize(event_capacity);
    b->errs.resize(event_capacity);
    b->out.resize(event_capacity);
    return std::unique_ptr<EventLoop>(new EventLoop(b));
}

EventLoop::~EventLoop() {
    close(b_->kq);
    delete b_;
}

Result<void> EventLoop::register_read_now(int fd, uint64_t tag) {
    struct kevent k;
    EV_SET(&k, static_cast<uintptr_t>(fd), EVFILT_READ, EV_ADD | EV_ENABLE, 0, 0, tag_ptr(tag));
    if (kevent(b_->kq, &k, 1, nullptr, 0, nullptr) < 0) return detail::wait_error(errno);
    return {};
}

Result<void> EventLoop::add_read(int fd, uint64_t tag) {
    if (fd < 0) return Error::EventNotFound;
    b_->drop_stale_writes(static_cast<uintptr_t>(fd), tag);
    return b_->append(static_cast<uintptr_t>(fd), EVFILT_READ, EV_ADD | EV_ENABLE, tag);
}

Result<void> EventLoop::add_write_once(int fd, uint64_t tag) {
    if (fd < 0) return Error::EventNotFound;
    return b_->append(static_cast<uintptr_t>(fd), EVFILT_WRITE, EV_ADD | EV_ENABLE | EV_ONESHOT,
                      tag);
}

Result<void> EventLoop::watch_signal(int signo) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    if (sigprocmask(SIG_BLOCK, &one, nullptr) != 0) return Error::InvalidArgs;
    struct kevent k;
    EV_SET(&k, static_cast<uintptr_t>(signo), EVFILT_SIGNAL, EV_ADD | EV_ENABLE, 0, 0, nullptr);
    if (kevent(b_->kq, &k, 1, nullptr, 0, nullptr) < 0) return detail::wait_error(errno);
    return {};
}

Result<std::span<const LoopEvent>> EventLoop::wait() {
    Backend& b = *b_;
    size_t nout = 0;
    if (b.nerrs > 0) {
        // Refusals of an early hand-over come back first, without blocking.
        FENRA_TRY(b.hand_over());
        for (size_t i = 0; i < b.nerrs; ++i)
            b.out[nout++] = b.errs[i];
        b.nerrs = 0;
        return std::span<const LoopEvent>(b.out.data(), nout);
    }
    int n;
    for (;;) {
        n = kevent(b.kq, b.changes.data(), static_cast<int>(b.nchanges), b.kevs.data(),
                   static_cast<int>(b.event_cap), nullptr);
        if (n >= 0 || errno != EINTR) break;
        b.nchanges = 0;  // the changes were applied before the interrupted scan
    }
    b.nchanges = 0;
    if (n < 0) return detail::wait_error(errno);
    for (int i = 0; i < n; ++i)
        b.out[nout++] = Backend::convert(b.kevs[static_cast<size_t>(i)]);
    return std::span<const LoopEvent>(b.out.data(), nout);
}

size_t EventLoop::pending_changes() const {
    return b_->nchanges;
}

}  // namespace fenra
