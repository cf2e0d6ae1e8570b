// The readiness loop of both daemons: one small interface with descriptor,
// timer and signal events, one file per kernel backend (event_loop_kqueue.cc
// on FreeBSD, event_loop_epoll.cc on Linux) behind the shared code of
// event_loop.cc.
//
// Every registration names a handler, whose on_event is called with each of
// its events; the loop allocates nothing per event.
//
// Descriptors: add() registers a descriptor with its handler at once (the
// kernel's refusal is returned). Read and write interest can then be turned
// on and off at any time while the descriptor stays open; both are
// level-triggered. Write interest may also be asked for once: it turns itself
// off after one write event. Interest changes are kept in the loop's table and
// handed to the kernel at the start of the next wait (a change the kernel
// refuses then, typically because the descriptor was closed meanwhile, comes
// back as an error event to the handler, delivered without blocking).
// remove() ends a registration; a descriptor should be removed before it is
// closed, and must be before its handler is destroyed.
//
// Every registration carries a serial: an event of a batch whose registration
// was removed, or replaced after its number was closed and reused, while the
// batch was being dispatched is never delivered, nor is a read or write event
// whose interest was turned off meanwhile.
//
// Timers: one-shot or periodic, on the monotonic clock, in milliseconds. A
// timer keeps its id until remove_timer(): it can be cancelled and re-armed at
// any time, also from its own handler. All timers share one kernel timer
// (timerfd, EVFILT_TIMER) set for the earliest deadline. Timers due together
// fire in deadline order, and in arming order for equal deadlines.
//
// Signals: watched signals are blocked for the process and arrive as events
// (signalfd, EVFILT_SIGNAL); several deliveries before one wait are one event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "runtime/result.h"

namespace fenra {

enum class EventKind : uint8_t { read, write, error, timer, signal };

// 0 is never a timer's id.
using TimerId = uint64_t;

struct LoopEvent {
    int64_t data;   // read: bytes readable, write: space writable (both 0 on Linux);
                    // error: errno; timer: expirations (a late periodic timer
                    // counts the periods missed); signal: deliveries (Linux: 1)
    TimerId timer;  // timer events: the timer
    int32_t fd;     // read, write, error events: the descriptor (-1 otherwise)
    int32_t signo;  // signal events: the signal number (0 otherwise)
    EventKind kind;
};

class LoopHandler {
  public:
    virtual ~LoopHandler() = default;
    // Called by the loop with each event of the registration. The handler may
    // change or remove any registration or timer, its own included.
    virtual void on_event(const LoopEvent& ev) = 0;
};

class EventLoop {
  public:
    // event_capacity: the most kernel events taken by one wait (fenra-s2s uses
    // 64, fenra-auth-oidc 32). Errors: InvalidArgs, OutOfMemory,
    // ProcessFdQuotaExceeded, SystemResources.
    static Result<std::unique_ptr<EventLoop>> create(size_t event_capacity);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Registers fd with its handler, with read interest or none, and no write
    // interest; replaces any registration of the number. Read interest is
    // handed to the kernel at once. Errors: EventNotFound (bad descriptor),
    // SystemResources.
    Result<void> add(int fd, LoopHandler& handler, bool read = true);
    // Interest of a registered descriptor (EventNotFound otherwise).
    Result<void> set_read(int fd, bool on);
    Result<void> set_write(int fd, bool on);
    // Write interest that turns itself off after one write event.
    Result<void> add_write_once(int fd);
    // Ends the registration of fd (nothing when there is none).
    void remove(int fd);

    // Blocks the signal for the process and delivers its occurrences to handler.
    Result<void> watch_signal(int signo, LoopHandler& handler);

    // A timer firing after delay_ms, then every period_ms unless that is 0.
    // Errors: OutOfMemory.
    Result<TimerId> add_timer(LoopHandler& handler, uint64_t delay_ms, uint64_t period_ms = 0);
    // Arms the timer anew, whether armed, fired or cancelled. Errors: EventNotFound.
    Result<void> arm_timer(TimerId id, uint64_t delay_ms, uint64_t period_ms = 0);
    // Disarms the timer; its id stays valid. Errors: EventNotFound.
    Result<void> cancel_timer(TimerId id);
    // Disarms the timer and releases its id (nothing for an unknown id).
    void remove_timer(TimerId id);

    // Hands the interest changes to the kernel, blocks until at least one
    // event is ready (EINTR is retried) and dispatches the batch to the
    // handlers. Errors: SystemResources, EventNotFound, Unexpected.
    Result<void> run_once();

    struct Impl;

  private:
    explicit EventLoop(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace fenra
