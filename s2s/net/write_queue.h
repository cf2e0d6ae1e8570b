// Bytes waiting to be written to one connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>

#include "runtime/result.h"

namespace fenra::s2s {

inline constexpr size_t kWriteQueueSize = 16384;

// Bytes waiting to be written to one connection. Each stream (stream.h)
// holds one (kWriteQueueSize bytes unless the session sets its size before
// anything is queued); the write path sends pending() and reports what went
// out with consume().
struct WriteQueue {
    WriteQueue() { (void)resize(kWriteQueueSize); }  // the owner checks data
    // Only while nothing is queued; false (and no buffer) without memory.
    bool resize(size_t capacity) {
        storage.reset(new (std::nothrow) char[capacity]);
        data = storage.get();
        size = data ? capacity : 0;
        return data != nullptr;
    }

    std::unique_ptr<char[]> storage;
    char* data = nullptr;
    size_t size = 0;
    size_t filled = 0;     // bytes queued, sent ones included
    size_t sent = 0;       // bytes of data already written
    uint64_t written = 0;  // bytes written over the queue's life
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
