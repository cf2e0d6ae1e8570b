// What the shared code of the event loop (event_loop.cc) asks of a kernel
// backend: per-descriptor interest, the watched signals, one kernel timer and
// a blocking wait. One implementation per kernel: event_loop_epoll.cc,
// event_loop_kqueue.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "runtime/error.h"
#include "runtime/result.h"

namespace fenra::detail {

struct RawEvent {
    enum class Kind : uint8_t { fd, signal, timer };
    int64_t data;     // as LoopEvent::data
    int32_t ident;    // the descriptor, or the signal number
    uint32_t serial;  // the registration serial carried by a descriptor's event
    Kind kind;
    bool readable;  // hang-ups and errors count as both
    bool writable;
};

// What the kernel holds for one descriptor.
struct KernelInterest {
    bool read = false;
    bool write = false;
};

class KernelQueue {
  public:
    static Result<std::unique_ptr<KernelQueue>> open(size_t event_capacity);
    ~KernelQueue();
    KernelQueue(const KernelQueue&) = delete;
    KernelQueue& operator=(const KernelQueue&) = delete;

    // Brings the kernel's interest in fd from `held` to `want`, its events
    // carrying serial. fresh: a new registration, where the kernel may hold a
    // stale one of a closed number, or none. Returns 0 or the errno.
    int update(int fd, uint32_t serial, bool fresh, KernelInterest held, KernelInterest want);
    Result<void> watch_signal(int signo);
    // Sets the one kernel timer to fire at deadline_ms on the monotonic clock.
    Result<void> arm_timer(int64_t deadline_ms);
    // Blocks until events are ready. The span is valid until the next wait.
    Result<std::span<const RawEvent>> wait();

    struct State;

  private:
    KernelQueue() = default;
    // The backend's own part of open: its kernel objects.
    Result<void> start(size_t event_capacity);
    State* s_ = nullptr;
};

// The loop's named error for a failed wait or registration call (errno value).
Error wait_error(int err);

// Milliseconds on the monotonic clock.
int64_t monotonic_ms();

}  // namespace fenra::detail
