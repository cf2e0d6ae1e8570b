// The IPC server shared by both daemons: a Unix stream listener and a fixed
// table of 16 client slots, each with a read and a write buffer whose sizes
// the daemon sets (8192 and 16384 bytes unless it says otherwise), allocated
// once. Frames are decoded in place and handed to the daemon's dispatcher;
// replies are encoded straight into the slot's write buffer and flushed on
// writability. Once attached to an event loop, the server's own handlers take
// the listener's and the slots' events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "runtime/event_loop.h"
#include "runtime/ipc_codec.h"
#include "runtime/result.h"

namespace fenra::ipc {

inline constexpr int kSlots = 16;
inline constexpr size_t kReadBuffer = 8192;
inline constexpr size_t kWriteBuffer = 16384;
inline constexpr size_t kMaxPath = 104;  // a socket path must be shorter
// Declared lengths up to this are skipped as oversized frames (when the daemon
// asks for that); longer ones cannot be frames and are never completed.
inline constexpr uint32_t kMaxSkippedLength = 16 * 1024 * 1024;

struct Slot {
    uint64_t read_filled = 0;
    uint64_t read_consumed = 0;
    uint64_t write_sent = 0;
    uint64_t write_filled = 0;
    uint64_t skip = 0;  // bytes of an oversized frame still to be discarded
    int32_t fd = -1;
    bool active = false;
    uint8_t* read_buf = nullptr;
    uint8_t* write_buf = nullptr;

    size_t unsent() const { return write_filled - write_sent; }
};

class Dispatcher {
  public:
    virtual ~Dispatcher() = default;
    // Called for each well-formed frame. Strings in m point into the slot's read
    // buffer and are valid only during the call. The dispatcher may send replies
    // and may disconnect the slot.
    virtual void on_ipc_message(int slot, const Message& m) = 0;
    // Called when the loop has accepted a client into slot.
    virtual void on_ipc_connected(int /*slot*/) {}
    // Called when the slot's client is gone (closed by either side).
    virtual void on_ipc_disconnected(int /*slot*/) {}
    // Called after a write event of a slot that stays connected: its write
    // buffer has room again.
    virtual void on_ipc_wrote(int /*slot*/) {}
    // A frame too long for the read buffer (only with Options::skip_oversized):
    // HEAD is its payload's beginning, as much as the buffer held; the rest of
    // its LENGTH bytes are discarded as they arrive.
    virtual void on_ipc_oversized(int slot, std::span<const uint8_t> head, uint32_t length) {
        (void)slot;
        (void)head;
        (void)length;
    }
};

// What differs between the two daemons.
struct Options {
    bool log_fd_on_connect;         // fenra-auth-oidc appends " fd=" + descriptor
    std::string_view daemon_scope;  // non-empty: fenra-s2s lines ("IPC decode error on
                                    // slot=", "core disconnected from IPC slot=") in it
    bool write_after_each_message;  // fenra-auth-oidc: one immediate write per answer
    size_t read_buffer = kReadBuffer;
    size_t write_buffer = kWriteBuffer;
    size_t max_frame = kFrameScratch;  // the longest frame send() builds, header included
    bool skip_oversized = false;       // frames over the read buffer are skipped, not fatal
};

class Server {
  public:
    explicit Server(const Options& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Unlinks any file at path, then socket (non-blocking), bind, listen(8).
    // Errors: PathTooLong (104 bytes or more), or the system error.
    Result<void> start(std::string_view path);
    int listen_fd() const { return listen_fd_; }
    std::string_view path() const;
    // Registers the listener with loop: from then on clients are accepted,
    // read and written by the loop, and each frame goes to dispatcher.
    Result<void> attach(EventLoop& loop, Dispatcher& dispatcher);

    // On a read event of the listener: accepts one client into the lowest free
    // slot and registers it for reading. Returns the slot, or -1.
    int accept(EventLoop& loop);
    void on_readable(int slot, EventLoop& loop, Dispatcher& dispatcher);
    void on_writable(int slot, EventLoop& loop);
    // Encodes one frame into the slot's write buffer. Errors: FieldTooLong,
    // BufferTooSmall (longer than max_frame), SendBufferFull (nothing queued;
    // the frame fits once the buffer drains).
    Result<void> send(int slot, const Message& m);
    // Asks for one-shot write interest when the slot has unsent bytes.
    Result<void> request_flush(int slot, EventLoop& loop);
    void disconnect(int slot);
    // Closes every slot and the listener, and unlinks the socket path; for
    // shut-down: the loop is not told (it may be gone) and must not run again.
    void stop();

    bool active(int slot) const { return slot >= 0 && slot < kSlots && slots_[slot].active; }
    const Slot& slot(int n) const { return slots_[n]; }
    const Options& options() const { return opts_; }

  private:
    // The loop's handler of the listener (slot -1) or of one slot.
    class Events final : public LoopHandler {
      public:
        void on_event(const LoopEvent& ev) override;
        Server* server = nullptr;
        int slot = -1;
    };

    // One write of the slot's unsent bytes; false when it disconnected the slot.
    bool flush_once(int slot);

    Options opts_;
    int listen_fd_ = -1;
    char path_[kMaxPath] = {};
    size_t path_len_ = 0;
    Slot* slots_;                // kSlots entries, allocated once
    Events events_[kSlots + 1];  // the listener's, then slot n's at n + 1
    EventLoop* loop_ = nullptr;
    Dispatcher* dispatcher_ = nullptr;
};

}  // namespace fenra::ipc
