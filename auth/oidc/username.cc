#include "auth/oidc/username.h"

#include "auth/oidc/json_doc.h"

namespace fenra::oidc {

UsernameFault normalise_username(std::string_view name, std::optional<std::string_view> user_domain,
                                 Username& out) {
    if (name.empty()) return UsernameFault::empty;
    const size_t at = name.find('@');
    if (at != std::string_view::npos && name.find('@', at + 1) != std::string_view::npos)
        return UsernameFault::malformed;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) return UsernameFault::malformed;
    }
    std::string_view local = name;
    if (at != std::string_view::npos) {
        if (!user_domain || !equal_ignoring_case(name.substr(at + 1), *user_domain))
            return UsernameFault::foreign_domain;
        local = name.substr(0, at);
        if (local.empty()) return UsernameFault::empty;
    }
    if (local.size() > kMaxUsername) return UsernameFault::too_long;
    for (size_t i = 0; i < local.size(); ++i) {
        const char c = local[i];
        out.text[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    out.len = local.size();
    return UsernameFault::none;
}

}  // namespace fenra::oidc
