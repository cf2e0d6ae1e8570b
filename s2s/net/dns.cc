#include "s2s/net/dns.h"

#include <charconv>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>

namespace fenra::s2s {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxWireName = 255;  // a name on the wire, terminating zero included
constexpr size_t kMaxPointerHops = 128;

uint16_t be16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// Steps over a name without following compression pointers; a pointer ends
// the name. Returns the position after it, or nothing when it runs past the
// message or uses a reserved label type.
std::optional<size_t> skip_name(std::span<const uint8_t> msg, size_t pos) {
    for (;;) {
        if (pos >= msg.size()) return std::nullopt;
        const uint8_t n = msg[pos++];
        if (n == 0) return pos;
        if ((n & 0xc0) == 0xc0) {
            if (pos >= msg.size()) return std::nullopt;
            return pos + 1;
        }
        if ((n & 0xc0) != 0) return std::nullopt;
        if (n > msg.size() - pos) return std::nullopt;
        pos += n;
    }
}

// Whether the name at POS decompresses: every pointer lands inside the
// message, the chain of pointers ends, and the result fits 255 bytes.
bool name_expands(std::span<const uint8_t> msg, size_t pos) {
    size_t wire = 1;  // the terminating zero
    size_t hops = 0;
    for (;;) {
        if (pos >= msg.size()) return false;
        const uint8_t n = msg[pos];
        if (n == 0) return true;
        if ((n & 0xc0) == 0xc0) {
            if (pos + 1 >= msg.size() || ++hops > kMaxPointerHops) return false;
            pos = static_cast<size_t>(n & 0x3f) << 8 | msg[pos + 1];
            continue;
        }
        if ((n & 0xc0) != 0 || n > msg.size() - pos - 1) return false;
        wire += 1 + n;
        if (wire > kMaxWireName) return false;
        pos += 1 + n;
    }
}

// Checks the layout of the whole reply and calls ON_RDATA with the record
// data of each answer record of TYPE whose owner name is sound. Nothing the
// callback collected may be used when the result is ParseError.
template <class F>
Result<void> walk_answers(std::span<const uint8_t> msg, uint16_t type, F&& on_rdata) {
    if (msg.size() < kHeaderSize) return Error::ParseError;
    const uint16_t questions = be16(msg, 4);
    size_t pos = kHeaderSize;
    for (uint16_t i = 0; i < questions; ++i) {
        const auto end = skip_name(msg, pos);
        if (!end || msg.size() - *end < 4) return Error::ParseError;
        pos = *end + 4;
    }
    for (int section = 0; section < 3; ++section) {
        const uint16_t count = be16(msg, 6 + 2 * section);
        for (uint16_t i = 0; i < count; ++i) {
            const size_t owner = pos;
            const auto end = skip_name(msg, pos);
            if (!end || msg.size() - *end < 10) return Error::ParseError;
            pos = *end;
            const uint16_t rr_type = be16(msg, pos);
            const uint16_t rdlength = be16(msg, pos + 8);
            pos += 10;
            if (msg.size() - pos < rdlength) return Error::ParseError;
            if (section == 0 && rr_type == type && name_expands(msg, owner))
                on_rdata(msg.subspan(pos, rdlength));
            pos += rdlength;
        }
    }
    if (pos != msg.size()) return Error::ParseError;
    return {};
}

// priority, weight, port, then the target as plain labels from byte 6.
std::optional<SrvRecord> srv_from_rdata(std::span<const uint8_t> rd) {
    if (rd.size() < 7) return std::nullopt;
    SrvRecord rec;
    rec.priority = be16(rd, 0);
    rec.weight = be16(rd, 2);
    rec.port = be16(rd, 4);
    size_t pos = 6;
    bool first = true;
    while (pos < rd.size()) {
        const uint8_t n = rd[pos++];
        if (n == 0) break;
        if (n > rd.size() - pos) return std::nullopt;
        const char* label = reinterpret_cast<const char*>(rd.data() + pos);
        if (!first) rec.target.push_back('.');
        rec.target.insert(rec.target.end(), label, label + n);
        pos += n;
        first = false;
    }
    if (first) rec.target = ".";
    return rec;
}

std::optional<TlsaRecord> tlsa_from_rdata(std::span<const uint8_t> rd) {
    if (rd.size() < 4) return std::nullopt;
    TlsaRecord rec;
    rec.usage = rd[0];
    rec.selector = rd[1];
    rec.matching_type = rd[2];
    rec.data.assign(rd.begin() + 3, rd.end());
    return rec;
}

// The records of TYPE that FROM_RDATA accepts, in answer order.
template <class Rec>
Result<std::vector<Rec>> collect_answers(
    std::span<const uint8_t> msg, uint16_t type,
    std::optional<Rec> (*from_rdata)(std::span<const uint8_t>)) {
    try {
        std::vector<Rec> out;
        auto r = walk_answers(msg, type, [&](std::span<const uint8_t> rd) {
            if (auto rec = from_rdata(rd)) out.push_back(std::move(*rec));
        });
        if (!r) return r.error();
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

// A query name in a fixed buffer, zero-terminated for the resolver.
struct QueryName {
    char text[kDnsNameSize];
    size_t len = 0;

    // Fails when the pieces together reach 256 bytes.
    bool build(std::initializer_list<std::string_view> pieces) {
        len = 0;
        for (std::string_view p : pieces) {
            if (p.size() >= kDnsNameSize - len) return false;
            std::memcpy(text + len, p.data(), p.size());
            len += p.size();
        }
        text[len] = '\0';
        return true;
    }
    std::string_view view() const { return {text, len}; }
};

}  // namespace

Result<std::vector<SrvRecord>> parse_srv_answer(std::span<const uint8_t> msg) {
    return collect_answers(msg, kDnsTypeSrv, srv_from_rdata);
}

Result<std::vector<TlsaRecord>> parse_tlsa_answer(std::span<const uint8_t> msg) {
    return collect_answers(msg, kDnsTypeTlsa, tlsa_from_rdata);
}

void sort_srv_records(std::vector<SrvRecord>& records) {
    // Insertion sort: stable, in place, and a reply holds at most a few
    // hundred records.
    auto before = [](const SrvRecord& a, const SrvRecord& b) {
        return a.priority < b.priority || (a.priority == b.priority && a.weight > b.weight);
    };
    for (size_t i = 1; i < records.size(); ++i) {
        for (size_t j = i; j > 0 && before(records[j], records[j - 1]); --j)
            std::swap(records[j], records[j - 1]);
    }
}

namespace {

bool build_tlsa_name(QueryName& q, uint16_t port, std::string_view host) {
    char digits[8];
    const auto conv = std::to_chars(digits, digits + sizeof digits, port);
    return q.build({"_", std::string_view(digits, conv.ptr - digits), "._tcp.", host});
}

}  // namespace

Result<std::string> tlsa_query_name(uint16_t port, std::string_view host) {
    QueryName q;
    if (!build_tlsa_name(q, port, host)) return Error::NameTooLong;
    try {
        return std::string(q.view());
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

}  // namespace fenra::s2s
