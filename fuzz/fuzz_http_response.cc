// The HTTPS client's response parse and URL split on arbitrary bytes. The
// first byte picks the parser; the rest is its input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "auth/oidc/https_client.h"

using fenra::oidc::kMaxHostLen;
using fenra::oidc::kMaxResponse;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        auto u = fenra::oidc::split_url(in);
        if (u) {
            // Every part is a piece of the URL itself (or the default path).
            if (u->host.empty() || u->host.size() > kMaxHostLen) std::abort();
            if (u->host.data() < in.data() || u->host.data() + u->host.size() > in.end())
                std::abort();
            if (u->path.empty() || u->path[0] != '/') std::abort();
        }
    } else {
        if (in.size() > kMaxResponse) in = in.substr(0, kMaxResponse);
        auto r = fenra::oidc::parse_response(in);
        if (r) {
            if (r->status > 999) std::abort();
            if (r->body.data() < in.data() || r->body.data() + r->body.size() != in.end())
                std::abort();
        }
    }
    return 0;
}
