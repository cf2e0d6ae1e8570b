// The readiness loop of both daemons: one small interface, one file per kernel
// backend (event_loop_kqueue.cc on FreeBSD, event_loop_epoll.cc on Linux).
//
// Every registration carries a 64-bit tag chosen by the daemon, which comes back
// unchanged with each event. Read interest is level-triggered and persistent
// until the descriptor is closed; write interest is one-shot. Registrations made
// while handling events are collected in the change list and handed to the
// kernel with the next wait; when the list is full it is handed over early, so
// no registration is ever lost. Watched signals are blocked and arrive as events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "runtime/result.h"

namespace fenra {

enum class EventKind : uint8_t { read, write, timer, signal, proc, other };

struct LoopEvent {
    uint64_t tag;  // registration tag; the signal number for signal events
    int64_t data;  // bytes readable, space writable (0 on Linux), errno, or signal
                   // delivery count (Linux coalesces a standard signal: 1)
    int32_t fd;    // descriptor of read, write and error events (-1 otherwise)
    EventKind kind;
};

class EventLoop {
  public:
    // Capacities: fenra-s2s uses 32 changes and 64 events, fenra-auth-oidc 16 and 32.
    static Result<std::unique_ptr<EventLoop>> create(size_t change_capacity, size_t event_capacity);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Registers persistent level-triggered read interest with the kernel at once.
    Result<void> register_read_now(int fd, uint64_t tag);
    // Appends persistent read interest to the change list (applied at the next wait).
    // Fails only when a full change list had to be handed over early and the kernel refused it.
    Result<void> add_read(int fd, uint64_t tag);
    // Appends one-shot write interest: fires once when fd becomes writable.
    Result<void> add_write_once(int fd, uint64_t tag);
    // Blocks the signal for the process and delivers each occurrence as a signal event.
    Result<void> watch_signal(int signo);
    // Hands the pending changes to the kernel and blocks until at least one event is
    // ready (no time-out; EINTR is retried). The span is valid until the next wait.
    // A queued change that the kernel refuses (typically: its descriptor was closed
    // before this wait) comes back as an event of kind other with the change's tag
    // and fd and data = errno, returned without blocking; it does not fail the wait.
    // Errors: SystemResources, EventNotFound, ProcessNotFound.
    Result<std::span<const LoopEvent>> wait();

    // Number of registrations waiting for the next wait (for tests).
    size_t pending_changes() const;

    struct Backend;  // kernel-specific state, defined by the backend file

  private:
    explicit EventLoop(Backend* b) : b_(b) {}
    Backend* b_;
};

namespace detail {
// The loop's named error for a failed wait or registration call (errno value),
// shared by both backends.
Error wait_error(int err);
}  // namespace detail

}  // namespace fenra
