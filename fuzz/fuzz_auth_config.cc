// The auth daemon's configuration file: parse arbitrary bytes, then read the
// settings the daemon takes from them.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "auth/config_file.h"
#include "runtime/log.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// A value never holds a line feed and is trimmed at both ends.
void check_value(std::optional<std::string_view> v) {
    if (!v || v->empty()) return;
    if (v->find('\n') != std::string_view::npos) std::abort();
    if (blank(v->front()) || blank(v->back())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fenra::log::set_output_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto file = fenra::auth::ConfigFile::parse(text);

    for (std::string_view section : {"", "oidc", " oidc ", "a"})
        for (std::string_view key : {"issuer", "client_secret", "socket", "a", "a b"})
            check_value(file.get(section, key));
    if (file.get("oidc", "")) std::abort();  // empty keys are never stored

    auto s = fenra::auth::read_settings(file, "/default.sock");
    if (s) {
        check_value(s->oidc.issuer);
        check_value(s->socket_path);
        if (!file.get("oidc", "socket") && s->socket_path != "/default.sock") std::abort();
    }
    return 0;
}
