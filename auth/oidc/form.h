// Form bodies (application/x-www-form-urlencoded) built in a fixed buffer.
// Values are percent-encoded with the unreserved set of RFC 3986: A-Z, a-z,
// 0-9, "-", ".", "_" and "~" stay as they are, every other byte becomes "%"
// and two upper-case hex digits (a space is "%20", never "+").
#pragma once

#include <cstddef>
#include <string_view>

namespace fenra::oidc {

class FormWriter {
  public:
    FormWriter(char* buf, size_t cap) : buf_(buf), cap_(cap) {}

    // Appends bytes as they are.
    void raw(std::string_view s);
    // Appends bytes percent-encoded.
    void enc(std::string_view s);

    // Once anything did not fit, the body is void.
    bool overflow() const { return overflow_; }
    std::string_view text() const { return {buf_, len_}; }

  private:
    char* buf_;
    size_t cap_;
    size_t len_ = 0;
    bool overflow_ = false;
};

}  // namespace fenra::oidc
