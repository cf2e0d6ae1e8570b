#include "runtime/ipc_codec.h"

#include <cstring>

namespace fenra::ipc {
namespace {

// Body layout of one message type: fields after the type byte, in order.
//   U = u32 id, B = u8 (any value), M = u8 mechanism (1-3), S = string,
//   T = optional last string (absent when the body ends before it), C = type 12 list.
const char* layout(uint8_t type) {
    switch (type) {
        case kAuthRequest:
            return "UMSBSSS";
        case kAuthChallenge:
        case kAuthFailure:
        case kAuthResponse:
        case kType10:
            return "US";
        case kAuthSuccess:
            return "USST";
        case kType6:
            return "USSSS";
        case kType7:
        case kType9:
        case kType11:
            return "UBS";
        case kType8:
            return "USS";
        case kType12:
            return "C";
        case kDeliveryRequest:
        case kInboundStanza:
        case kDeliveryFailed:
            return "SSS";
        default:
            return nullptr;
    }
}

struct Reader {
    const uint8_t* p;
    size_t n;
    size_t pos = 0;

    size_t left() const { return n - pos; }
    bool u8(uint8_t& v) {
        if (left() < 1) return false;
        v = p[pos++];
        return true;
    }
    bool u32(uint32_t& v) {
        if (left() < 4) return false;
        v = static_cast<uint32_t>(p[pos]) | static_cast<uint32_t>(p[pos + 1]) << 8 |
            static_cast<uint32_t>(p[pos + 2]) << 16 | static_cast<uint32_t>(p[pos + 3]) << 24;
        pos += 4;
        return true;
    }
    bool str(std::string_view& v) {
        if (left() < 2) return false;
        const size_t len = static_cast<size_t>(p[pos]) | static_cast<size_t>(p[pos + 1]) << 8;
        if (left() - 2 < len) return false;
        v = std::string_view(reinterpret_cast<const char*>(p + pos + 2), len);
        pos += 2 + len;
        return true;
    }
};

bool valid_item(uint8_t v) {
    return v >= 1 && v <= 3;
}

struct Writer {
    uint8_t* p;
    size_t cap;
    size_t pos = 0;
    bool full = false;

    void bytes(const void* src, size_t len) {
        if (len == 0) return;
        if (full || cap - pos < len) {
            full = true;
            return;
        }
        std::memcpy(p + pos, src, len);
        pos += len;
    }
    void u8(uint8_t v) { bytes(&v, 1); }
    void u32(uint32_t v) {
        const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                              static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        bytes(b, 4);
    }
    void str(std::string_view s) {
        const uint8_t b[2] = {static_cast<uint8_t>(s.size()), static_cast<uint8_t>(s.size() >> 8)};
        bytes(b, 2);
        bytes(s.data(), s.size());
    }
};

}  // namespace

Result<Message> decode(std::span<const uint8_t> payload) {
    Reader r{payload.data(), payload.size()};
    Message m;
    if (!r.u8(m.type)) return Error::Malformed;
    const char* fields = layout(m.type);
    if (fields == nullptr) return Error::Malformed;
    for (const char* f = fields; *f != '\0'; ++f) {
        bool ok = true;
        switch (*f) {
            case 'U':
                ok = r.u32(m.id);
                break;
            case 'M':
                ok = r.u8(m.byte) && valid_item(m.byte);
                break;
            case 'B':
                // The u8 of type 1 is its flag; of types 7, 9 and 11 the ok byte.
                ok = m.type == kAuthRequest ? r.u8(m.flag) : r.u8(m.byte);
                break;
            case 'T':
                // The last string of type 3 may be left out: the body ends before it.
                if (r.left() == 0) {
                    m.str[m.nstr++] = std::string_view();
                    break;
                }
                [[fallthrough]];
            case 'S':
                ok = r.str(m.str[m.nstr]);
                ++m.nstr;
                break;
            case 'C':
                ok = r.u8(m.count) && m.count <= m.items.size();
                for (uint8_t i = 0; ok && i < m.count; ++i)
                    ok = r.u8(m.items[i]) && valid_item(m.items[i]);
                break;
        }
        if (!ok) return Error::Malformed;
    }
    return m;  // bytes after the last field are ignored
}

std::optional<std::array<std::string_view, 2>> delivery_addresses(
    std::span<const uint8_t> payload) {
    Reader r{payload.data(), payload.size()};
    uint8_t type = 0;
    std::array<std::string_view, 2> out;
    if (!r.u8(type) || type < kDeliveryRequest || type > kDeliveryFailed) return std::nullopt;
    if (!r.str(out[0]) || !r.str(out[1])) return std::nullopt;
    return out;
}

Result<size_t> frame_size(const Message& m) {
    const char* fields = layout(m.type);
    if (fields == nullptr || m.count > m.items.size()) return Error::Malformed;
    size_t n = 4 + 1;
    size_t si = 0;
    for (const char* f = fields; *f != '\0'; ++f) {
        switch (*f) {
            case 'U':
                n += 4;
                break;
            case 'M':
            case 'B':
                n += 1;
                break;
            case 'T':
            case 'S':
                if (m.str[si].size() > kMaxString) return Error::FieldTooLong;
                n += 2 + m.str[si++].size();
                break;
            case 'C':
                n += 1 + m.count;
                break;
        }
    }
    return n;
}

Result<size_t> encode(const Message& m, std::span<uint8_t> out) {
    const char* fields = layout(m.type);
    if (fields == nullptr || m.count > m.items.size()) return Error::Malformed;
    size_t si = 0;
    for (const char* f = fields; *f != '\0'; ++f)
        if ((*f == 'S' || *f == 'T') && m.str[si++].size() > kMaxString) return Error::FieldTooLong;
    Writer w{out.data(), out.size()};
    w.u32(0);  // the length, stored once the frame is complete
    w.u8(m.type);
    si = 0;
    for (const char* f = fields; *f != '\0'; ++f) {
        switch (*f) {
            case 'U':
                w.u32(m.id);
                break;
            case 'M':
                w.u8(m.byte);
                break;
            case 'B':
                w.u8(m.type == kAuthRequest ? m.flag : m.byte);
                break;
            case 'T':
            case 'S':
                w.str(m.str[si++]);
                break;
            case 'C':
                w.u8(m.count);
                w.bytes(m.items.data(), m.count);
                break;
        }
    }
    if (w.full) return Error::BufferTooSmall;
    const uint32_t len = static_cast<uint32_t>(w.pos - 4);
    out[0] = static_cast<uint8_t>(len);
    out[1] = static_cast<uint8_t>(len >> 8);
    out[2] = static_cast<uint8_t>(len >> 16);
    out[3] = static_cast<uint8_t>(len >> 24);
    return w.pos;
}

Message delivery(uint8_t type, std::string_view from, std::string_view to, std::string_view third) {
    Message m;
    m.type = type;
    m.nstr = 3;
    m.str = {from, to, third, std::string_view()};
    return m;
}

Message auth_success(uint32_t id, std::string_view username, std::string_view second,
                     std::string_view third) {
    Message m;
    m.type = kAuthSuccess;
    m.id = id;
    m.nstr = 3;
    m.str = {username, second, third, std::string_view()};
    return m;
}

Message auth_failure(uint32_t id, std::string_view condition) {
    Message m;
    m.type = kAuthFailure;
    m.id = id;
    m.nstr = 1;
    m.str[0] = condition;
    return m;
}

Message ok_condition(uint8_t type, uint32_t id, uint8_t ok, std::string_view condition) {
    Message m;
    m.type = type;
    m.id = id;
    m.byte = ok;
    m.nstr = 1;
    m.str[0] = condition;
    return m;
}

}  // namespace fenra::ipc
