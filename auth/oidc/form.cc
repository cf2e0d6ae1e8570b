#include "auth/oidc/form.h"

#include <cstring>

namespace fenra::oidc {
namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

}  // namespace

void FormWriter::raw(std::string_view s) {
    if (overflow_) return;
    if (s.size() > cap_ - len_) {
        overflow_ = true;
        return;
    }
    if (!s.empty()) std::memcpy(buf_ + len_, s.data(), s.size());
    len_ += s.size();
}

void FormWriter::enc(std::string_view s) {
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : s) {
        if (overflow_) return;
        if (unreserved(c)) {
            if (len_ + 1 > cap_) {
                overflow_ = true;
                return;
            }
            buf_[len_++] = static_cast<char>(c);
        } else {
            if (len_ + 3 > cap_) {
                overflow_ = true;
                return;
            }
            buf_[len_++] = '%';
            buf_[len_++] = hex[c >> 4];
            buf_[len_++] = hex[c & 15];
        }
    }
}

}  // namespace fenra::oidc
