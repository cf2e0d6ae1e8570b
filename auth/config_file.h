// The INI-style configuration file of fenra-auth-oidc.
//
//     [oidc]
//     issuer = https://id.example.org
//     # a comment, only at the start of a line
//
// Lines are split at LF; trailing CRs are dropped, then blanks and tabs are
// trimmed. "[name]" opens a section (the name is taken as written, up to the
// first "]"); "key = value" lines split at the first "=". Sections given twice
// are merged and a later key replaces an earlier one. Keys before the first
// header belong to the section with the empty name. Names and values point
// into the file contents, which the ConfigFile owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "auth/oidc/oidc_config.h"
#include "runtime/log.h"
#include "runtime/result.h"

namespace fenra::auth {

class ConfigFile {
  public:
    static constexpr size_t kMaxFileSize = 1024 * 1024;
    static constexpr size_t kMaxPath = 1024;  // a path must be shorter

    // Reads and parses the file at path (relative to the current directory).
    // Errors: NameTooLong (path of 1024 bytes or more), StreamTooLong (over
    // 1 MiB), and the system errors of open and read (FileNotFound,
    // AccessDenied, IsDir, ...).
    static Result<ConfigFile> load(std::string_view path);

    // Parses text held in memory (a copy is kept).
    static ConfigFile parse(std::string_view text);

    ConfigFile(ConfigFile&&) noexcept = default;
    ConfigFile& operator=(ConfigFile&&) noexcept = default;
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    // The value of key in section, or nullopt when it is absent. A key present
    // with an empty value yields an empty view.
    std::optional<std::string_view> get(std::string_view section, std::string_view key) const;
    bool has_section(std::string_view section) const;
    size_t section_count() const { return sections_.size(); }

  private:
    using Section = std::map<std::string_view, std::string_view>;

    ConfigFile(std::unique_ptr<char[]> text, size_t size);
    void parse_lines();
    void parse_line(std::string_view line, Section*& current);

    std::unique_ptr<char[]> text_;  // the views below point into it
    size_t size_ = 0;
    std::map<std::string_view, Section> sections_;
};

// What fenra-auth-oidc takes from the [oidc] section. The views point into
// the ConfigFile (or the command line), which outlive it.
struct AuthSettings {
    oidc::OidcConfig oidc;
    uint32_t max_per_account = 5;
    uint32_t max_per_address = 20;
    uint32_t failure_reset_seconds = 900;
    uint32_t max_in_flight = 64;  // logins in progress at once (0 counts as 1)
    std::string_view socket_path;
    std::optional<log::Level> log_level;
};

// The entries of a comma-separated list, blanks around them trimmed, empty
// ones left out.
std::vector<std::string_view> split_list(std::string_view text);

// A rate limit: an unsigned 32-bit decimal ("+", "_" between digits, "-0"
// allowed); anything that does not parse, absence included, yields fallback.
uint32_t parse_limit(std::optional<std::string_view> text, uint32_t fallback);

// Checks the required keys in the order issuer, client_id, client_secret,
// token_endpoint, jwks_uri; the first missing one writes "missing required
// config: [oidc] KEY" and fails with InvalidArgs. A `socket` key replaces
// socket_path. `audiences` defaults to the client_id. A `log_level` other than
// error, warn or info writes "invalid config: [oidc] log_level = VALUE" and
// fails with InvalidArgs.
Result<AuthSettings> read_settings(const ConfigFile& file, std::string_view socket_path);

}  // namespace fenra::auth
