// What both event-loop backends share: the registration table with its
// serials, the interest changes waiting for the next wait, the timers and the
// dispatch of a batch to the handlers.
#include "runtime/event_loop.h"

#include <time.h>

#include <cerrno>
#include <new>
#include <vector>

#include "runtime/event_loop_backend.h"
#include "runtime/timer_heap.h"

namespace fenra {
namespace detail {

Error wait_error(int err) {
    switch (err) {
        case ENOMEM:
        case EACCES:
        case EFAULT:
        case EINVAL:
            return Error::SystemResources;
        case ENOENT:
        case EBADF:
            return Error::EventNotFound;
        case ESRCH:
            return Error::ProcessNotFound;
        default:
            return Error::Unexpected;
    }
}

Result<std::unique_ptr<KernelQueue>> KernelQueue::open(size_t event_capacity) {
    std::unique_ptr<KernelQueue> q(new (std::nothrow) KernelQueue);
    if (!q) return Error::OutOfMemory;
    FENRA_TRY(q->start(event_capacity));
    return q;
}

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace detail

namespace {

constexpr size_t kInitialFds = 1024;  // the table grows to the highest number seen
constexpr int kMaxSignal = 64;
constexpr uint64_t kMaxDelayMs = uint64_t{1} << 40;  // about 35 years

struct FdRecord {
    LoopHandler* handler = nullptr;
    uint32_t serial = 0;
    detail::KernelInterest want;
    detail::KernelInterest held;  // what the kernel holds
    bool write_once = false;
    bool queued = false;  // in the change list
};

struct Refusal {
    int fd;
    uint32_t serial;
    int err;
};

}  // namespace

struct EventLoop::Impl {
    std::unique_ptr<detail::KernelQueue> kernel;
    std::vector<FdRecord> fds;
    std::vector<int> changes;  // descriptors whose interest changed since the last wait
    std::vector<Refusal> refusals;
    detail::TimerHeap timers;
    int64_t armed = detail::TimerHeap::kNever;  // the kernel timer's deadline
    LoopHandler* signals[kMaxSignal + 1] = {};

    FdRecord* record(int fd) {
        if (fd < 0) return nullptr;
        const size_t n = static_cast<size_t>(fd);
        if (n >= fds.size()) {
            fds.resize(n + 1 > 2 * fds.size() ? n + 1 : 2 * fds.size());
            changes.reserve(fds.size());
        }
        return &fds[n];
    }

    FdRecord* registered(int fd) {
        if (fd < 0 || static_cast<size_t>(fd) >= fds.size()) return nullptr;
        FdRecord& r = fds[static_cast<size_t>(fd)];
        return r.handler != nullptr ? &r : nullptr;
    }

    void enqueue(int fd, FdRecord& r) {
        if (r.queued) return;
        r.queued = true;
        changes.push_back(fd);  // capacity: one per table entry, reserved
    }

    void apply_changes() {
        for (const int fd : changes) {
            FdRecord& r = fds[static_cast<size_t>(fd)];
            r.queued = false;
            if (r.want.read == r.held.read && r.want.write == r.held.write) continue;
            const int err = kernel->update(fd, r.serial, false, r.held, r.want);
            if (err == 0) {
                r.held = r.want;
                continue;
            }
            // The kernel holds nothing for a number it refused.
            if (r.handler != nullptr && refusals.size() < refusals.capacity())
                refusals.push_back(Refusal{fd, r.serial, err});
            r.want = r.held = detail::KernelInterest{};
            r.write_once = false;
        }
        changes.clear();
    }

    // The handler of fd's registration under serial, or null when it has gone.
    LoopHandler* current(int fd, uint32_t serial) {
        FdRecord* r = registered(fd);
        return r != nullptr && r->serial == serial ? r->handler : nullptr;
    }

    void dispatch_fd(const detail::RawEvent& raw) {
        const int fd = raw.ident;
        if (raw.readable) {
            LoopHandler* h = current(fd, raw.serial);
            if (h != nullptr && fds[static_cast<size_t>(fd)].want.read)
                h->on_event(LoopEvent{raw.data, 0, fd, 0, EventKind::read});
        }
        if (raw.writable) {
            LoopHandler* h = current(fd, raw.serial);
            if (h == nullptr) return;
            FdRecord& r = fds[static_cast<size_t>(fd)];
            if (!r.want.write) return;
            if (r.write_once) {
                r.want.write = false;
                r.write_once = false;
                enqueue(fd, r);
            }
            h->on_event(LoopEvent{raw.data, 0, fd, 0, EventKind::write});
        }
    }

    void run_timers() {
        const int64_t now = detail::monotonic_ms();
        const uint64_t mark = timers.pass_mark();
        detail::TimerHeap::Due due;
        while (timers.pop_due(now, mark, due))
            due.handler->on_event(LoopEvent{due.expirations, due.id, -1, 0, EventKind::timer});
    }
};

EventLoop::EventLoop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

EventLoop::~EventLoop() = default;

Result<std::unique_ptr<EventLoop>> EventLoop::create(size_t event_capacity) {
    if (event_capacity == 0) return Error::InvalidArgs;
    std::unique_ptr<Impl> impl(new (std::nothrow) Impl);
    if (!impl) return Error::OutOfMemory;
    auto kernel = detail::KernelQueue::open(event_capacity);
    if (!kernel) return kernel.error();
    impl->kernel = std::move(*kernel);
    impl->fds.resize(kInitialFds);
    impl->changes.reserve(kInitialFds);
    impl->refusals.reserve(event_capacity);
    std::unique_ptr<EventLoop> loop(new (std::nothrow) EventLoop(std::move(impl)));
    if (!loop) return Error::OutOfMemory;
    return loop;
}

Result<void> EventLoop::add(int fd, LoopHandler& handler, bool read) {
    FdRecord* r = impl_->record(fd);
    if (r == nullptr) return Error::EventNotFound;
    r->handler = &handler;
    ++r->serial;
    r->write_once = false;
    const detail::KernelInterest want{read, false};
    const int err = impl_->kernel->update(fd, r->serial, true, r->held, want);
    r->held = err == 0 ? want : detail::KernelInterest{};
    r->want = r->held;
    if (err == 0) return {};
    r->handler = nullptr;
    return detail::wait_error(err);
}

Result<void> EventLoop::set_read(int fd, bool on) {
    FdRecord* r = impl_->registered(fd);
    if (r == nullptr) return Error::EventNotFound;
    r->want.read = on;
    impl_->enqueue(fd, *r);
    return {};
}

Result<void> EventLoop::set_write(int fd, bool on) {
    FdRecord* r = impl_->registered(fd);
    if (r == nullptr) return Error::EventNotFound;
    r->want.write = on;
    r->write_once = false;
    impl_->enqueue(fd, *r);
    return {};
}

Result<void> EventLoop::add_write_once(int fd) {
    FdRecord* r = impl_->registered(fd);
    if (r == nullptr) return Error::EventNotFound;
    r->want.write = true;
    r->write_once = true;
    impl_->enqueue(fd, *r);
    return {};
}

void EventLoop::remove(int fd) {
    FdRecord* r = impl_->registered(fd);
    if (r == nullptr) return;
    r->handler = nullptr;
    ++r->serial;
    r->want = detail::KernelInterest{};
    r->write_once = false;
    impl_->enqueue(fd, *r);
}

Result<void> EventLoop::watch_signal(int signo, LoopHandler& handler) {
    if (signo <= 0 || signo > kMaxSignal) return Error::InvalidArgs;
    FENRA_TRY(impl_->kernel->watch_signal(signo));
    impl_->signals[signo] = &handler;
    return {};
}

Result<TimerId> EventLoop::add_timer(LoopHandler& handler, uint64_t delay_ms, uint64_t period_ms) {
    const TimerId id = impl_->timers.create(handler);
    if (id == 0) return Error::OutOfMemory;
    FENRA_TRY(arm_timer(id, delay_ms, period_ms));
    return id;
}

Result<void> EventLoop::arm_timer(TimerId id, uint64_t delay_ms, uint64_t period_ms) {
    if (delay_ms > kMaxDelayMs) delay_ms = kMaxDelayMs;
    if (period_ms > kMaxDelayMs) period_ms = kMaxDelayMs;
    const int64_t deadline = detail::monotonic_ms() + static_cast<int64_t>(delay_ms);
    if (!impl_->timers.arm(id, deadline, period_ms)) return Error::EventNotFound;
    return {};
}

Result<void> EventLoop::cancel_timer(TimerId id) {
    if (!impl_->timers.disarm(id)) return Error::EventNotFound;
    return {};
}

void EventLoop::remove_timer(TimerId id) {
    impl_->timers.release(id);
}

Result<void> EventLoop::run_once() {
    Impl& l = *impl_;
    l.apply_changes();
    if (!l.refusals.empty()) {
        // Refused changes come back alone, without blocking.
        for (const Refusal& f : l.refusals)
            if (LoopHandler* h = l.current(f.fd, f.serial))
                h->on_event(LoopEvent{f.err, 0, f.fd, 0, EventKind::error});
        l.refusals.clear();
        return {};
    }
    // One kernel timer, set for the earliest deadline; a later one set
    // earlier only wakes the loop once for nothing.
    const int64_t earliest = l.timers.earliest();
    if (earliest < l.armed) {
        FENRA_TRY(l.kernel->arm_timer(earliest));
        l.armed = earliest;
    }
    auto batch = l.kernel->wait();
    if (!batch) return batch.error();
    for (const detail::RawEvent& raw : *batch) {
        switch (raw.kind) {
            case detail::RawEvent::Kind::fd:
                l.dispatch_fd(raw);
                break;
            case detail::RawEvent::Kind::signal:
                if (raw.ident > 0 && raw.ident <= kMaxSignal && l.signals[raw.ident] != nullptr)
                    l.signals[raw.ident]->on_event(
                        LoopEvent{raw.data, 0, -1, raw.ident, EventKind::signal});
                break;
            case detail::RawEvent::Kind::timer:
                l.armed = detail::TimerHeap::kNever;
                l.run_timers();
                break;
        }
    }
    return {};
}

}  // namespace fenra
