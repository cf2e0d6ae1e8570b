#include "s2s/net/write_queue.h"

#include <cstring>

namespace fenra::s2s {

Result<void> WriteQueue::append(std::string_view bytes) {
    if (closed) return Error::ConnectionClosed;
    if (bytes.size() > size - (filled - sent)) return Error::BufferFull;
    if (bytes.size() > size - filled) {
        // Room is there once the sent bytes are dropped from the front.
        std::memmove(data, data + sent, filled - sent);
        filled -= sent;
        sent = 0;
    }
    if (!bytes.empty()) std::memcpy(data + filled, bytes.data(), bytes.size());
    filled += bytes.size();
    return {};
}

void WriteQueue::consume(size_t n) {
    if (n > filled - sent) n = filled - sent;
    sent += n;
    written += n;
    if (sent == filled) filled = sent = 0;
}

}  // namespace fenra::s2s
