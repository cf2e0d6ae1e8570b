// The I/O of one S2S connection, for either session kind: its socket and TLS
// state, read buffer, write queue and deadline timer. The stream takes the TLS handshake
// steps, reads while bytes come and flushes its queue, and reports what
// happens to its handler: bytes read, handshake done or failed, queue
// drained, write interest wanted, the connection ended. Bound to a loop, the
// stream is the registration of its socket and of its deadline timer: their
// events (readable, writable, timed out) go to its owner's function. The
// session above parses, answers and decides its deadlines; nothing here
// knows XML or sessions.
//
// A handler may end the session, and with it the stream, inside any report:
// it then answers gone (or, for the reports without an answer, the stream
// takes that for granted) and the stream touches nothing of itself after it.
#pragma once

#include <concepts>
#include <cstdint>

#include "runtime/event_loop.h"
#include "runtime/result.h"
#include "s2s/net/tls.h"
#include "s2s/net/write_queue.h"

namespace fenra::s2s {

class Stream;

// What the handler wants after a report.
enum class StreamStep : uint8_t {
    more,   // read on while bytes come
    pause,  // stop reading for now (the stream stays)
    gone,   // the stream must not be touched again
};

// How a connection ended.
enum class StreamEnd : uint8_t {
    closed,        // the peer ended its side (close-notify or end of stream)
    read_failed,   // any other read error, or the read buffer full
    write_failed,  // the queue could not be written
};

// What a stream reports to, resolved at compile time (no virtual call on
// the read path):
//   StreamStep stream_bytes(Stream&): bytes were added to the read buffer;
//       the handler consumes what it takes.
//   StreamStep stream_handshake_done(Stream&): the TLS handshake completed;
//       more: read on at once.
//   void stream_handshake_failed(Stream&): the stream is gone afterwards.
//   StreamStep stream_drained(Stream&): the write queue has been written
//       out; the handler may queue more (the stream writes on) or act on
//       the end of its output.
//   void stream_want_write(Stream&): one-shot write readiness is needed.
//   void stream_ended(Stream&, StreamEnd): the connection ended; the stream
//       is gone afterwards.
template <class H>
concept StreamHandler = requires(H& h, Stream& st, StreamEnd end) {
    { h.stream_bytes(st) } -> std::same_as<StreamStep>;
    { h.stream_handshake_done(st) } -> std::same_as<StreamStep>;
    h.stream_handshake_failed(st);
    { h.stream_drained(st) } -> std::same_as<StreamStep>;
    h.stream_want_write(st);
    h.stream_ended(st, end);
};

// The one loop handler of a stream's socket and timer: each event goes on,
// by kind, to the owner's function (one class for every owner, with no
// virtual call past the loop's).
class StreamEvents final : public LoopHandler {
  public:
    template <class T, void (*F)(T&, EventKind)>
    void bind(T& owner) {
        owner_ = &owner;
        fn_ = [](void* o, EventKind kind) { F(*static_cast<T*>(o), kind); };
    }
    // The owner may end itself, and this with it, inside its function.
    void on_event(const LoopEvent& ev) override {
        if (ev.kind != EventKind::error) fn_(owner_, ev.kind);
    }

  private:
    void* owner_ = nullptr;
    void (*fn_)(void*, EventKind) = nullptr;
};

class Stream {
  public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    // Closes TLS and the socket; while the loop lives, the owner closes the
    // stream with close() first.
    ~Stream() { tls_close(conn); }

    // Read readiness: a handshake step while TLS is being negotiated, then
    // reads while bytes come, each batch reported. gone: the handler ended
    // the stream (or must, after a failed handshake or an end).
    template <StreamHandler H>
    StreamStep on_readable(H& h);
    // Write readiness: a handshake step while TLS is being negotiated, else
    // the queue flushed; write interest is asked for again while bytes wait.
    template <StreamHandler H>
    StreamStep on_writable(H& h);
    // Reads while bytes come, each batch reported; write interest is asked
    // for when the queue holds bytes afterwards.
    template <StreamHandler H>
    StreamStep read(H& h);
    // One handshake step; once done, the handler is told and reading goes on
    // (decrypted bytes may already wait, and no event announces them).
    template <StreamHandler H>
    StreamStep handshake(H& h);
    // Asks for write readiness when the queue holds bytes.
    template <StreamHandler H>
    void want_write(H& h) {
        if (conn.fd >= 0 && !wq.empty()) h.stream_want_write(*this);
    }

    bool open() const { return conn.fd >= 0; }

    // Joins LOOP: the socket's and the deadline's events go to F with OWNER.
    template <class T, void (*F)(T&, EventKind)>
    void bind(EventLoop& loop, T& owner) {
        loop_ = &loop;
        events_.bind<T, F>(owner);
    }
    // Registers the socket (conn.fd) with the bound loop, read interest on.
    Result<void> watch() {
        if (loop_ == nullptr) return Error::EventNotFound;
        return loop_->add(conn.fd, events_);
    }
    // Ends the socket's registration (the timer stays).
    void unwatch() {
        if (loop_ != nullptr && conn.fd >= 0) loop_->remove(conn.fd);
    }
    // Read interest of the registered socket.
    void set_reads(bool on) {
        if (loop_ != nullptr && conn.fd >= 0) (void)loop_->set_read(conn.fd, on);
    }
    // One-shot write interest of the registered socket.
    void write_once() {
        if (loop_ != nullptr && conn.fd >= 0) (void)loop_->add_write_once(conn.fd);
    }

    // The connection's deadline: one timer of the bound loop (nothing when
    // unbound), made on first use, then armed anew (DELAY_MS from now) or
    // cancelled.
    void arm_deadline(uint64_t delay_ms) {
        if (loop_ == nullptr) return;
        if (deadline_ == 0) {
            auto id = loop_->add_timer(events_, delay_ms);
            if (id) deadline_ = *id;
        } else {
            (void)loop_->arm_timer(deadline_, delay_ms);
        }
    }
    void cancel_deadline() {
        if (loop_ != nullptr && deadline_ != 0) (void)loop_->cancel_timer(deadline_);
    }
    // Leaves the loop (LOOP_ALIVE false: it is gone already), the socket's
    // registration and the timer, then closes TLS and the socket.
    void close(bool loop_alive = true) {
        if (loop_ != nullptr && loop_alive) {
            if (deadline_ != 0) loop_->remove_timer(deadline_);
            loop_->remove(conn.fd);
        }
        loop_ = nullptr;
        deadline_ = 0;
        tls_close(conn);
    }

    TlsConn conn;
    ReadBuffer rbuf;
    WriteQueue wq;

  private:
    EventLoop* loop_ = nullptr;
    StreamEvents events_;
    TimerId deadline_ = 0;
};

// Rounds of flush-and-refill per write event.
inline constexpr int kStreamWriteRounds = 16;

template <StreamHandler H>
inline StreamStep Stream::on_readable(H& h) {
    if (conn.handshaking()) return handshake(h);
    return read(h);
}

template <StreamHandler H>
inline StreamStep Stream::handshake(H& h) {
    auto phase = tls_handshake_step(conn);
    if (!phase) {
        h.stream_handshake_failed(*this);
        return StreamStep::gone;
    }
    switch (*phase) {
        case TlsPhase::want_read:
            return StreamStep::more;  // read interest is permanent
        case TlsPhase::want_write:
            h.stream_want_write(*this);
            return StreamStep::more;
        case TlsPhase::done:
            break;
    }
    const StreamStep step = h.stream_handshake_done(*this);
    if (step != StreamStep::more) return step;
    return read(h);
}

template <StreamHandler H>
inline StreamStep Stream::read(H& h) {
    for (;;) {
        auto n = tls_read(conn, rbuf);
        if (!n) {
            h.stream_ended(*this, n.error() == Error::ConnectionClosed ? StreamEnd::closed
                                                                       : StreamEnd::read_failed);
            return StreamStep::gone;
        }
        if (*n == 0) break;
        const StreamStep step = h.stream_bytes(*this);
        if (step == StreamStep::gone) return step;
        if (step == StreamStep::pause) break;
        // TLS began over the stream (STARTTLS): its handshake takes over.
        if (conn.handshaking()) return handshake(h);
        // Decrypted bytes that did not fit are announced by no event.
        if (!tls_has_pending(conn)) break;
    }
    want_write(h);
    return StreamStep::more;
}

template <StreamHandler H>
inline StreamStep Stream::on_writable(H& h) {
    if (conn.handshaking()) return handshake(h);
    for (int round = 0; round < kStreamWriteRounds; ++round) {
        auto r = tls_flush(conn, wq);
        if (!r) {
            h.stream_ended(*this, StreamEnd::write_failed);
            return StreamStep::gone;
        }
        if (*r == FlushState::pending) break;
        const StreamStep step = h.stream_drained(*this);
        if (step == StreamStep::gone) return step;
        if (wq.empty()) return step;
    }
    want_write(h);
    return StreamStep::more;
}

}  // namespace fenra::s2s
