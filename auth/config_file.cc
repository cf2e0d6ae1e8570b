#include "auth/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "runtime/log.h"
#include "runtime/number.h"

namespace fenra::auth {
namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim_left(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view trim_right(std::string_view s) {
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Reads at most limit + 1 bytes so that an oversized file is noticed without
// reading all of it.
Result<size_t> read_all(int fd, char* buf, size_t limit) {
    size_t filled = 0;
    while (filled <= limit) {
        const ssize_t n = ::read(fd, buf + filled, limit + 1 - filled);
        if (n > 0) {
            filled += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return filled;
        if (errno == EINTR) continue;
        return error_from_errno(errno);
    }
    return Error::StreamTooLong;
}

}  // namespace

ConfigFile::ConfigFile(std::unique_ptr<char[]> text, size_t size)
    : text_(std::move(text)), size_(size) {
    parse_lines();
}

Result<ConfigFile> ConfigFile::load(std::string_view path) {
    if (path.size() >= kMaxPath) return Error::NameTooLong;
    char cpath[kMaxPath];
    std::memcpy(cpath, path.data(), path.size());
    cpath[path.size()] = '\0';

    const int fd = ::open(cpath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return error_from_errno(errno);
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Error::IsDir;
    }
    // One byte beyond the limit tells an oversized file from one of exactly 1 MiB.
    auto buf = std::make_unique_for_overwrite<char[]>(kMaxFileSize + 1);
    auto got = read_all(fd, buf.get(), kMaxFileSize);
    ::close(fd);
    if (!got) return got.error();
    // Keep only what the file holds rather than the whole 1 MiB.
    auto text = std::make_unique_for_overwrite<char[]>(*got + 1);
    std::memcpy(text.get(), buf.get(), *got);
    return ConfigFile(std::move(text), *got);
}

ConfigFile ConfigFile::parse(std::string_view text) {
    auto buf = std::make_unique_for_overwrite<char[]>(text.size() + 1);
    if (!text.empty()) std::memcpy(buf.get(), text.data(), text.size());
    return ConfigFile(std::move(buf), text.size());
}

void ConfigFile::parse_lines() {
    std::string_view rest(text_.get(), size_);
    Section* current = nullptr;  // the unnamed section, created by its first key
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        const std::string_view line = rest.substr(0, lf);
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        parse_line(line, current);
    }
}

void ConfigFile::parse_line(std::string_view line, Section*& current) {
    while (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    line = trim_right(trim_left(line));
    if (line.empty() || line.front() == '#' || line.front() == ';') return;

    if (line.front() == '[') {
        const size_t close = line.find(']', 1);
        if (close == std::string_view::npos) return;  // no "]": not a header
        current = &sections_[line.substr(1, close - 1)];
        return;
    }

    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return;
    const std::string_view key = trim_right(line.substr(0, eq));
    if (key.empty()) return;
    if (current == nullptr) current = &sections_[std::string_view()];
    (*current)[key] = trim_left(line.substr(eq + 1));
}

std::optional<std::string_view> ConfigFile::get(std::string_view section,
                                                std::string_view key) const {
    auto s = sections_.find(section);
    if (s == sections_.end()) return std::nullopt;
    auto k = s->second.find(key);
    if (k == s->second.end()) return std::nullopt;
    return k->second;
}

bool ConfigFile::has_section(std::string_view section) const {
    return sections_.find(section) != sections_.end();
}

uint32_t parse_limit(std::optional<std::string_view> text, uint32_t fallback) {
    if (!text) return fallback;
    return parse_u32(*text).value_or(fallback);
}

std::vector<std::string_view> split_list(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = trim_right(trim_left(text.substr(0, comma)));
        if (!item.empty()) out.push_back(item);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return out;
}

Result<AuthSettings> read_settings(const ConfigFile& file, std::string_view socket_path) {
    constexpr std::string_view kSection = "oidc";
    AuthSettings s;
    struct Required {
        std::string_view key;
        std::string_view* field;
    };
    const Required required[] = {
        {"issuer", &s.oidc.issuer},
        {"client_id", &s.oidc.client_id},
        {"client_secret", &s.oidc.client_secret},
        {"token_endpoint", &s.oidc.token_endpoint},
        {"jwks_uri", &s.oidc.jwks_uri},
    };
    for (const Required& r : required) {
        const auto v = file.get(kSection, r.key);
        if (!v) {
            log::error("fenra_auth_oidc", {"missing required config: [oidc] ", r.key});
            return Error::InvalidArgs;
        }
        *r.field = *v;
    }
    s.oidc.ca_file = file.get(kSection, "ca_file");
    s.oidc.introspection_endpoint = file.get(kSection, "introspection_endpoint");
    s.oidc.user_domain = file.get(kSection, "user_domain");
    s.socket_path = file.get(kSection, "socket").value_or(socket_path);
    s.max_per_account = parse_limit(file.get(kSection, "rate_max_per_account"), 5);
    s.max_per_address = parse_limit(file.get(kSection, "rate_max_per_ip"), 20);
    if (const auto level = file.get(kSection, "log_level")) {
        s.log_level = log::parse_level(*level);
        if (!s.log_level) {
            log::error("fenra_auth_oidc", {"invalid config: [oidc] log_level = ", *level});
            return Error::InvalidArgs;
        }
    }
    s.failure_reset_seconds = parse_limit(file.get(kSection, "failure_reset_seconds"), 900);
    s.max_in_flight = parse_limit(file.get(kSection, "max_in_flight"), 64);
    if (s.max_in_flight == 0) s.max_in_flight = 1;
    s.oidc.audiences = split_list(file.get(kSection, "audiences").value_or(""));
    if (s.oidc.audiences.empty()) s.oidc.audiences.push_back(s.oidc.client_id);
    return s;
}

}  // namespace fenra::auth
