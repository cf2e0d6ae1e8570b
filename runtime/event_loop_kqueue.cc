// FreeBSD backend of the event loop: one kqueue with EVFILT_READ and
// EVFILT_WRITE per descriptor, EVFILT_SIGNAL for the watched signals and one
// EVFILT_TIMER (milliseconds, one-shot) for the earliest timer deadline.
//
// Interest changes are handed to the kernel as they are applied, with
// EV_RECEIPT so that each change comes back with its own result and no ready
// event is consumed. Read and write interest are turned on with
// EV_ADD | EV_ENABLE (which also renews the serial in udata) and off with
// EV_DISABLE; a descriptor that leaves the loop has its filters deleted.
#include <signal.h>
#include <sys/event.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "runtime/event_loop_backend.h"

namespace fenra::detail {
namespace {

constexpr uintptr_t kTimerIdent = 1;

void* serial_ptr(uint32_t serial) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(serial));
}

uint32_t ptr_serial(void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

struct KernelQueue::State {
    int kq = -1;
    std::vector<struct kevent> kevs;
    std::vector<RawEvent> out;

    ~State() {
        if (kq >= 0) close(kq);
    }

    // Hands over n changes and returns the first refusal's errno. Turning off
    // or deleting a filter that does not exist is no refusal: nothing is held.
    // With EV_RECEIPT every change comes back, in order, as EV_ERROR with its
    // result in data (0 for success); the kernel replaces the flags, so the
    // change's own flags are looked up by position.
    int submit(struct kevent* changes, int n) {
        struct kevent receipts[2];
        for (int i = 0; i < n; ++i)
            changes[i].flags |= EV_RECEIPT;
        const struct timespec zero = {0, 0};
        const int got = kevent(kq, changes, n, receipts, n, &zero);
        if (got < 0) return errno;
        for (int i = 0; i < got && i < n; ++i) {
            if (!(receipts[i].flags & EV_ERROR) || receipts[i].data == 0) continue;
            const int err = static_cast<int>(receipts[i].data);
            const bool off = (changes[i].flags & (EV_DISABLE | EV_DELETE)) != 0;
            if (off && (err == ENOENT || err == EBADF)) continue;
            return err;
        }
        return 0;
    }
};

Result<void> KernelQueue::start(size_t event_capacity) {
    s_ = new (std::nothrow) State;
    if (s_ == nullptr) return Error::OutOfMemory;
    s_->kq = kqueue();
    if (s_->kq < 0) return errno == EMFILE ? Error::ProcessFdQuotaExceeded : Error::SystemResources;
    s_->kevs.resize(event_capacity);
    s_->out.resize(event_capacity);
    return {};
}

KernelQueue::~KernelQueue() {
    delete s_;
}

int KernelQueue::update(int fd, uint32_t serial, bool fresh, KernelInterest held,
                        KernelInterest want) {
    const uintptr_t ident = static_cast<uintptr_t>(fd);
    struct kevent changes[2];
    int n = 0;
    if (!want.read && !want.write) {
        // Leaves the loop (a closed number has lost its filters already).
        if (held.read || fresh) EV_SET(&changes[n++], ident, EVFILT_READ, EV_DELETE, 0, 0, nullptr);
        if (held.write || fresh)
            EV_SET(&changes[n++], ident, EVFILT_WRITE, EV_DELETE, 0, 0, nullptr);
        return n == 0 ? 0 : s_->submit(changes, n);
    }
    // A fresh registration may meet filters of an earlier one that is still
    // open: both filters are set, so none of them is left behind.
    if (want.read)
        EV_SET(&changes[n++], ident, EVFILT_READ, EV_ADD | EV_ENABLE, 0, 0, serial_ptr(serial));
    else if (held.read || fresh)
        EV_SET(&changes[n++], ident, EVFILT_READ, EV_DISABLE, 0, 0, serial_ptr(serial));
    if (want.write)
        EV_SET(&changes[n++], ident, EVFILT_WRITE, EV_ADD | EV_ENABLE, 0, 0, serial_ptr(serial));
    else if (held.write || fresh)
        EV_SET(&changes[n++], ident, EVFILT_WRITE, EV_DISABLE, 0, 0, serial_ptr(serial));
    return s_->submit(changes, n);
}

Result<void> KernelQueue::watch_signal(int signo) {
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    if (sigprocmask(SIG_BLOCK, &one, nullptr) != 0) return Error::InvalidArgs;
    struct kevent k;
    EV_SET(&k, static_cast<uintptr_t>(signo), EVFILT_SIGNAL, EV_ADD | EV_ENABLE, 0, 0, nullptr);
    if (kevent(s_->kq, &k, 1, nullptr, 0, nullptr) < 0) return wait_error(errno);
    return {};
}

Result<void> KernelQueue::arm_timer(int64_t deadline_ms) {
    // EVFILT_TIMER counts from now, in milliseconds by default; adding it
    // again replaces the earlier setting.
    int64_t delay = deadline_ms - monotonic_ms();
    if (delay < 1) delay = 1;
    struct kevent k;
    EV_SET(&k, kTimerIdent, EVFILT_TIMER, EV_ADD | EV_ENABLE | EV_ONESHOT, 0,
           static_cast<intptr_t>(delay), nullptr);
    if (kevent(s_->kq, &k, 1, nullptr, 0, nullptr) < 0) return wait_error(errno);
    return {};
}

Result<std::span<const RawEvent>> KernelQueue::wait() {
    State& s = *s_;
    int n;
    do {
        n = kevent(s.kq, nullptr, 0, s.kevs.data(), static_cast<int>(s.kevs.size()), nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return wait_error(errno);
    size_t nout = 0;
    for (int i = 0; i < n; ++i) {
        const struct kevent& k = s.kevs[static_cast<size_t>(i)];
        const int64_t data = static_cast<int64_t>(k.data);
        switch (k.filter) {
            case EVFILT_READ:
                s.out[nout++] = RawEvent{data,
                                         static_cast<int32_t>(k.ident),
                                         ptr_serial(k.udata),
                                         RawEvent::Kind::fd,
                                         true,
                                         false};
                break;
            case EVFILT_WRITE:
                s.out[nout++] = RawEvent{data,
                                         static_cast<int32_t>(k.ident),
                                         ptr_serial(k.udata),
                                         RawEvent::Kind::fd,
                                         false,
                                         true};
                break;
            case EVFILT_SIGNAL:
                s.out[nout++] = RawEvent{
                    data, static_cast<int32_t>(k.ident), 0, RawEvent::Kind::signal, false, false};
                break;
            case EVFILT_TIMER:
                s.out[nout++] = RawEvent{data, -1, 0, RawEvent::Kind::timer, false, false};
                break;
            default:
                break;
        }
    }
    return std::span<const RawEvent>(s.out.data(), nout);
}

}  // namespace fenra::detail
