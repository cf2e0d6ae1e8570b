// One account per person: the single normalisation of user names, for PLAIN
// answers, token usernames and rate-limit keys. ASCII letters are
// lower-cased and an "@" followed by the configured user domain (compared
// without regard to case) is removed. A name with a control character, a
// space or more than one "@" is malformed; a name that still carries a domain
// (another one, or any when no user domain is configured) is foreign.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace fenra::oidc {

inline constexpr size_t kMaxUsername = 256;

enum class UsernameFault : unsigned char { none, empty, malformed, too_long, foreign_domain };

struct Username {
    char text[kMaxUsername];
    size_t len = 0;
    std::string_view view() const { return {text, len}; }
};

// Writes the normalised name into out when the fault is none.
UsernameFault normalise_username(std::string_view name, std::optional<std::string_view> user_domain,
                                 Username& out);

}  // namespace fenra::oidc
