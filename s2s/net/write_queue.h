// Bytes waiting to be written to one connection, in a fixed buffer.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/result.h"

namespace fenra::s2s {

inline constexpr size_t kWriteQueueSize = 16384;

// Bytes waiting to be written to one connection. Inbound and outbound
// sessions each embed one; the session's write path sends pending() and
// reports what went out with consume().
struct WriteQueue {
    char data[kWriteQueueSize];
    size_t filled = 0;  // bytes queued, sent ones included
    size_t sent = 0;    // bytes of data already written
    bool closed = false;

    // Appends all of `bytes` or nothing: ConnectionClosed once the connection
    // is closed, BufferFull when they do not fit beside what is unsent.
    Result<void> append(std::string_view bytes);
    std::string_view pending() const { return {data + sent, filled - sent}; }
    bool empty() const { return sent == filled; }
    void consume(size_t n);
    // Forgets everything queued (the connection is gone or starts over).
    void clear() { filled = sent = 0; }
};

}  // namespace fenra::s2s
