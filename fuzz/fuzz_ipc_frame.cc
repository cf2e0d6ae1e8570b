// The IPC frame loop on arbitrary bytes: the input arrives in chunks in an
// 8192-byte slot buffer, frames are cut by their length field and decoded the
// way the server does it, and every decoded message must encode back to the
// bytes it came from; the addresses read from the start of a delivery frame
// are the decoded ones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/ipc_codec.h"
#include "runtime/ipc_server.h"

using namespace fenra::ipc;

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void check_round_trip(const Message& m, const uint8_t* payload, uint32_t len) {
    static uint8_t out[4 + 2 * kReadBuffer];
    fenra::Result<size_t> n = encode(m, std::span<uint8_t>(out, sizeof out));
    if (!n) abort();  // a decoded message always fits twice the read buffer
    const size_t plen = *n - 4;
    if (le32(out) != plen) abort();
    // The encoding is the payload without its trailing bytes, except that an
    // absent third string of type 3 is written as an empty one.
    const bool absent_third =
        m.type == kAuthSuccess && plen == static_cast<size_t>(len) + 2 && m.str[2].empty();
    if (absent_third) {
        if (std::memcmp(out + 4, payload, len) != 0 || out[4 + len] != 0 || out[5 + len] != 0)
            abort();
    } else if (plen > len || std::memcmp(out + 4, payload, plen) != 0) {
        abort();
    }
    fenra::Result<Message> again = decode(std::span<const uint8_t>(out + 4, plen));
    if (!again) abort();
    const Message& a = *again;
    if (a.type != m.type || a.id != m.id || a.byte != m.byte || a.flag != m.flag ||
        a.nstr != m.nstr || a.count != m.count || a.items != m.items)
        abort();
    for (size_t i = 0; i < m.str.size(); ++i)
        if (a.str[i] != m.str[i]) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static uint8_t buf[kReadBuffer];
    size_t filled = 0, consumed = 0, pos = 0;
    // The first byte picks the chunk size of the simulated reads.
    size_t chunk = size > 0 ? static_cast<size_t>(data[0]) * 37 + 1 : 1;
    if (size > 0) pos = 1;
    while (pos < size) {
        std::memmove(buf, buf + consumed, filled - consumed);
        filled -= consumed;
        consumed = 0;
        if (filled == kReadBuffer) return 0;  // full without a frame: disconnected
        size_t n = size - pos;
        if (n > chunk) n = chunk;
        if (n > kReadBuffer - filled) n = kReadBuffer - filled;
        std::memcpy(buf + filled, data + pos, n);
        filled += n;
        pos += n;
        while (filled - consumed >= 4) {
            const uint32_t len = le32(buf + consumed);
            if (len > kMaxDeclaredLength || filled - consumed - 4 < len) break;
            if (len == 0) return 0;  // malformed: the slot goes away
            const uint8_t* payload = buf + consumed + 4;
            fenra::Result<Message> m = decode(std::span<const uint8_t>(payload, len));
            // The addresses of a frame cut short are those of the whole frame.
            const auto addresses = delivery_addresses(std::span<const uint8_t>(payload, len));
            if (m && m->type >= kDeliveryRequest &&
                (!addresses || (*addresses)[0] != m->str[0] || (*addresses)[1] != m->str[1]))
                abort();
            if (!m) return 0;
            check_round_trip(*m, payload, len);
            consumed += 4 + len;
        }
    }
    return 0;
}
