#include "runtime/ipc_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/log.h"

namespace fenra::ipc {
namespace {

constexpr std::string_view kScope = "ipc_server";

uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void reset(Slot& s) {
    s.read_filled = 0;
    s.read_consumed = 0;
    s.write_sent = 0;
    s.write_filled = 0;
    s.skip = 0;
    s.fd = -1;
    s.active = false;
}

ssize_t read_once(int fd, uint8_t* buf, size_t len) {
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// One write of the unsent bytes; MSG_NOSIGNAL so that a vanished peer is an
// error here rather than a signal.
ssize_t write_once(int fd, const uint8_t* buf, size_t len) {
    ssize_t n;
    do {
        n = ::send(fd, buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

}  // namespace

Server::Server(const Options& options) : opts_(options), slots_(new Slot[kSlots]) {
    if (opts_.max_frame > opts_.write_buffer) opts_.max_frame = opts_.write_buffer;
    // Pages the kernel maps only once a slot writes to them.
    for (int i = 0; i < kSlots; ++i) {
        reset(slots_[i]);
        slots_[i].read_buf = new uint8_t[opts_.read_buffer];
        slots_[i].write_buf = new uint8_t[opts_.write_buffer];
    }
    for (int i = 0; i <= kSlots; ++i) {
        events_[i].server = this;
        events_[i].slot = i - 1;
    }
}

void Server::Events::on_event(const LoopEvent& ev) {
    if (server->loop_ == nullptr || server->dispatcher_ == nullptr) return;
    EventLoop& loop = *server->loop_;
    if (slot < 0) {
        if (ev.kind != EventKind::read) return;
        if (const int n = server->accept(loop); n >= 0) server->dispatcher_->on_ipc_connected(n);
    } else if (ev.kind == EventKind::read) {
        server->on_readable(slot, loop, *server->dispatcher_);
    } else if (ev.kind == EventKind::write) {
        server->on_writable(slot, loop);
        if (server->active(slot)) server->dispatcher_->on_ipc_wrote(slot);
    }
}

Result<void> Server::attach(EventLoop& loop, Dispatcher& dispatcher) {
    loop_ = &loop;
    dispatcher_ = &dispatcher;
    if (listen_fd_ < 0) return {};
    return loop.add(listen_fd_, events_[0]);
}

Server::~Server() {
    for (int i = 0; i < kSlots; ++i) {
        if (slots_[i].active) close(slots_[i].fd);
        delete[] slots_[i].read_buf;
        delete[] slots_[i].write_buf;
    }
    if (listen_fd_ >= 0) close(listen_fd_);
    delete[] slots_;
}

std::string_view Server::path() const {
    return std::string_view(path_, path_len_);
}

Result<void> Server::start(std::string_view path) {
    if (path.size() >= kMaxPath) return Error::PathTooLong;
    if (path.find('\0') != std::string_view::npos) return Error::InvalidArgs;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return error_from_errno(errno);

    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    unlink(addr.sun_path);  // a stale socket file from an earlier run; errors do not matter

    if (bind(fd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 8) != 0) {
        const int err = errno;
        close(fd);
        return error_from_errno(err);
    }
    listen_fd_ = fd;
    std::memcpy(path_, path.data(), path.size());
    path_[path.size()] = '\0';
    path_len_ = path.size();
    log::info(kScope, {"IPC server listening on ", path});
    return {};
}

int Server::accept(EventLoop& loop) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    int n = 0;
    while (n < kSlots && slots_[n].active)
        ++n;
    if (n == kSlots) {
        close(fd);
        log::warn(kScope, {"IPC connection rejected: all ", kSlots, " slots full"});
        return -1;
    }
    Slot& s = slots_[n];
    reset(s);
    s.fd = fd;
    s.active = true;
    if (opts_.log_fd_on_connect)
        log::info(kScope, {"IPC client connected, slot=", n, " fd=", fd});
    else
        log::info(kScope, {"IPC client connected, slot=", n});
    loop_ = &loop;
    if (!loop.add(fd, events_[n + 1])) {
        disconnect(n);
        return -1;
    }
    return n;
}

void Server::on_readable(int slot, EventLoop& loop, Dispatcher& dispatcher) {
    if (!active(slot)) return;
    Slot& s = slots_[slot];
    const size_t cap = opts_.read_buffer;

    // Compact: the unconsumed bytes move to the start of the buffer.
    const size_t held = s.read_filled - s.read_consumed;
    if (s.read_consumed > 0) {
        std::memmove(s.read_buf, s.read_buf + s.read_consumed, held);
        s.read_filled = held;
        s.read_consumed = 0;
    }
    // A full buffer without a complete frame can never complete one.
    if (s.read_filled == cap) {
        disconnect(slot);
        return;
    }

    const ssize_t n = read_once(s.fd, s.read_buf + s.read_filled, cap - s.read_filled);
    if (n <= 0) {
        if ((n == 0 || would_block(errno)) && !opts_.daemon_scope.empty())
            log::info(opts_.daemon_scope, {"core disconnected from IPC slot=", slot});
        disconnect(slot);
        return;
    }
    s.read_filled += static_cast<uint64_t>(n);
    if (s.skip > 0) {
        const uint64_t drop = s.skip < s.read_filled ? s.skip : s.read_filled;
        s.read_consumed = drop;
        s.skip -= drop;
    }

    while (s.read_filled - s.read_consumed >= 4) {
        const uint8_t* frame = s.read_buf + s.read_consumed;
        const uint32_t len = read_le32(frame);
        if (len > cap - 4 && opts_.skip_oversized && len <= kMaxSkippedLength &&
            s.read_consumed == 0 && s.read_filled == cap) {
            // As much of the frame as the buffer holds is shown, the rest skipped.
            s.skip = 4 + static_cast<uint64_t>(len) - cap;
            s.read_consumed = cap;
            dispatcher.on_ipc_oversized(slot, std::span<const uint8_t>(frame + 4, cap - 4), len);
            if (!s.active) return;
            break;
        }
        if (len > cap - 4 || s.read_filled - s.read_consumed - 4 < len) break;
        Result<Message> m = len == 0 ? Result<Message>(Error::Malformed)
                                     : decode(std::span<const uint8_t>(frame + 4, len));
        if (!m) {
            if (!opts_.daemon_scope.empty())
                log::error(opts_.daemon_scope, {"IPC decode error on slot=", slot});
            disconnect(slot);
            return;
        }
        s.read_consumed += 4 + static_cast<uint64_t>(len);
        dispatcher.on_ipc_message(slot, *m);
        if (!s.active) return;  // the dispatcher closed the slot
        if (opts_.write_after_each_message && s.write_sent < s.write_filled) {
            if (!flush_once(slot)) return;
        }
    }
    // A full buffer that yielded no frame can never yield one: do not wait for
    // more bytes (they may never come) to find that out.
    if (s.read_consumed == 0 && s.read_filled == cap) {
        disconnect(slot);
        return;
    }
    if (s.write_sent < s.write_filled) (void)loop.add_write_once(s.fd);
}

bool Server::flush_once(int slot) {
    Slot& s = slots_[slot];
    const ssize_t n = write_once(s.fd, s.write_buf + s.write_sent, s.write_filled - s.write_sent);
    if (n < 0) {
        if (would_block(errno)) return true;
        disconnect(slot);
        return false;
    }
    s.write_sent += static_cast<uint64_t>(n);
    if (s.write_sent == s.write_filled) {
        s.write_sent = 0;
        s.write_filled = 0;
    }
    return true;
}

Result<void> Server::send(int slot, const Message& m) {
    if (!active(slot)) return Error::ConnectionClosed;
    Slot& s = slots_[slot];
    const Result<size_t> size = frame_size(m);
    if (!size) return size.error();
    if (*size > opts_.max_frame) return Error::BufferTooSmall;
    if (opts_.write_buffer - s.write_filled < *size && s.write_sent > 0) {
        // Room may be there once the written bytes leave the front.
        const size_t unsent = s.unsent();
        std::memmove(s.write_buf, s.write_buf + s.write_sent, unsent);
        s.write_filled = unsent;
        s.write_sent = 0;
    }
    if (opts_.write_buffer - s.write_filled < *size) return Error::SendBufferFull;
    const Result<size_t> built = encode(m, std::span<uint8_t>(s.write_buf + s.write_filled, *size));
    if (!built) return built.error();
    s.write_filled += *built;
    return {};
}

Result<void> Server::request_flush(int slot, EventLoop& loop) {
    if (!active(slot)) return {};
    const Slot& s = slots_[slot];
    if (s.write_sent == s.write_filled) return {};
    return loop.add_write_once(s.fd);
}

void Server::on_writable(int slot, EventLoop& loop) {
    if (!active(slot)) return;
    Slot& s = slots_[slot];
    if (s.write_sent == s.write_filled) return;
    if (!flush_once(slot)) return;
    if (s.write_sent < s.write_filled) (void)loop.add_write_once(s.fd);
}

void Server::disconnect(int slot) {
    if (!active(slot)) return;
    Slot& s = slots_[slot];
    if (loop_ != nullptr) loop_->remove(s.fd);
    close(s.fd);
    reset(s);
    log::info(kScope, {"IPC client disconnected, slot=", slot});
    if (dispatcher_ != nullptr) dispatcher_->on_ipc_disconnected(slot);
}

void Server::stop() {
    for (int i = 0; i < kSlots; ++i) {
        if (!slots_[i].active) continue;
        close(slots_[i].fd);
        reset(slots_[i]);
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        listen_fd_ = -1;
    }
    loop_ = nullptr;  // shut-down: the loop may be gone already, it is not told
    dispatcher_ = nullptr;
    if (path_len_ > 0) {
        unlink(path_);
        path_len_ = 0;
    }
}

}  // namespace fenra::ipc
