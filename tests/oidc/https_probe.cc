// Drives the HTTPS client and the password grant from the integration tests.
//
//   https_probe request METHOD URL [--body B] [--type T] [--ca FILE]
//                       [--connect-ms N] [--total-ms N]
//       prints "status N" and a line with the body length, then the body;
//       or "error NAME"
//   https_probe password URL USER PASSWORD --client-id ID --client-secret S
//                       [--ca FILE] [--user-domain D]
//       prints "accepted", "rejected" or "unavailable"; the backend's log lines go to stderr
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/oidc_backend.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"
#include "runtime/number.h"

using namespace fenra;
using namespace fenra::oidc;

namespace {

struct Options {
    std::optional<std::string_view> body, type, ca, client_id, client_secret, user_domain;
    HttpsBounds bounds;
};

bool parse_options(int argc, char** argv, int first, Options& o) {
    for (int i = first; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        std::string_view k = argv[i], v = argv[i + 1];
        if (k == "--body") {
            o.body = v;
        } else if (k == "--type") {
            o.type = v;
        } else if (k == "--ca") {
            o.ca = v;
        } else if (k == "--client-id") {
            o.client_id = v;
        } else if (k == "--client-secret") {
            o.client_secret = v;
        } else if (k == "--user-domain") {
            o.user_domain = v;
        } else if (k == "--connect-ms" && parse_i32(v)) {
            o.bounds.connect_ms = *parse_i32(v);
        } else if (k == "--total-ms" && parse_i32(v)) {
            o.bounds.total_ms = *parse_i32(v);
        } else {
            return false;
        }
    }
    return true;
}

// Runs the loop until done has been called.
bool run_until(EventLoop& loop, const bool& done) {
    while (!done)
        if (!loop.run_once()) return false;
    return true;
}

int request(int argc, char** argv) {
    Options o;
    if (argc < 4 || !parse_options(argc, argv, 4, o)) return 2;
    auto loop = EventLoop::create(16);
    if (!loop) return 1;
    auto client = HttpsClient::create(**loop, o.ca, o.bounds);
    if (!client) return 1;
    bool done = false;
    (*client)->start(
        HttpsRequest{.method = argv[2], .url = argv[3], .body = o.body, .content_type = o.type},
        [&done](Result<HttpsResponse>&& r) {
            done = true;
            if (!r) {
                std::string_view name = error_name(r.error());
                std::printf("error %.*s\n", static_cast<int>(name.size()), name.data());
                return;
            }
            std::printf("status %u\n%zu\n", r->status, r->size);
            if (r->size > 0) std::fwrite(r->data.get(), 1, r->size, stdout);
        });
    return run_until(**loop, done) ? 0 : 1;
}

int password(int argc, char** argv) {
    Options o;
    if (argc < 5 || !parse_options(argc, argv, 5, o) || !o.client_id || !o.client_secret) return 2;
    OidcConfig config;
    config.token_endpoint = argv[2];
    config.client_id = *o.client_id;
    config.client_secret = *o.client_secret;
    config.ca_file = o.ca;
    config.user_domain = o.user_domain;
    auto loop = EventLoop::create(16);
    if (!loop) return 1;
    auto client = HttpsClient::create(**loop, o.ca, o.bounds);
    if (!client) return 1;
    OidcBackend backend(config, **client);
    bool done = false;
    backend.check_password(argv[3], argv[4], [&done](Outcome out) {
        done = true;
        std::puts(out == Outcome::accepted   ? "accepted"
                  : out == Outcome::rejected ? "rejected"
                                             : "unavailable");
    });
    return run_until(**loop, done) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && std::strcmp(argv[1], "request") == 0) return request(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "password") == 0) return password(argc, argv);
    std::fputs("usage: https_probe request|password ...\n", stderr);
    return 2;
}
