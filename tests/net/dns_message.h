// Hand-built DNS replies for tests: a header, one question, and answer and
// additional records whose owner is by default a pointer to the question.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fenra::test {

using Bytes = std::vector<uint8_t>;

// A name as uncompressed labels with the terminating zero.
inline Bytes labels(std::string_view dotted) {
    Bytes out;
    while (!dotted.empty()) {
        const size_t dot = dotted.find('.');
        const std::string_view label = dotted.substr(0, dot);
        out.push_back(static_cast<uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
    out.push_back(0);
    return out;
}

inline Bytes srv_rdata(uint16_t priority, uint16_t weight, uint16_t port, std::string_view target) {
    Bytes out{static_cast<uint8_t>(priority >> 8), static_cast<uint8_t>(priority),
              static_cast<uint8_t>(weight >> 8),   static_cast<uint8_t>(weight),
              static_cast<uint8_t>(port >> 8),     static_cast<uint8_t>(port)};
    const Bytes name = labels(target);
    out.insert(out.end(), name.begin(), name.end());
    return out;
}

class DnsMessage {
  public:
    DnsMessage(std::string_view qname, uint16_t qtype) {
        bytes_ = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0};
        const Bytes name = labels(qname);
        bytes_.insert(bytes_.end(), name.begin(), name.end());
        put16(qtype);
        put16(1);
    }

    void answer(uint16_t type, const Bytes& rdata) { answer_owned({0xc0, 0x0c}, type, rdata); }
    void answer_owned(const Bytes& owner, uint16_t type, const Bytes& rdata) {
        record(owner, type, rdata);
        bump(6);
    }
    void additional(uint16_t type, const Bytes& rdata) {
        record({0xc0, 0x0c}, type, rdata);
        bump(10);
    }

    size_t size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }

  private:
    void put16(uint16_t v) {
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
        bytes_.push_back(static_cast<uint8_t>(v));
    }
    void bump(size_t at) {
        const uint16_t v = static_cast<uint16_t>((bytes_[at] << 8 | bytes_[at + 1]) + 1);
        bytes_[at] = static_cast<uint8_t>(v >> 8);
        bytes_[at + 1] = static_cast<uint8_t>(v);
    }
    void record(const Bytes& owner, uint16_t type, const Bytes& rdata) {
        bytes_.insert(bytes_.end(), owner.begin(), owner.end());
        put16(type);
        put16(1);
        put16(0);
        put16(300);  // TTL
        put16(static_cast<uint16_t>(rdata.size()));
        bytes_.insert(bytes_.end(), rdata.begin(), rdata.end());
    }

    Bytes bytes_;
};

}  // namespace fenra::test
