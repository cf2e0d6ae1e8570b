// OAUTHBEARER requests end to end below the IPC layer: the client's message,
// the bearer token cut out of it, token validation with the fixed provider
// keys, and introspection answers. An input holding "\n--\n" gives the
// provider's introspection answer after it; the message comes before it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "auth/backend_checker.h"
#include "auth/oidc/oidc_backend.h"
#include "auth/rate_limiter.h"
#include "auth/sasl_handler.h"
#include "fuzz/token_fuzz.h"

namespace {

struct FixedClock final : fenra::auth::Clock {
    uint32_t now() const override { return static_cast<uint32_t>(fenra::fuzzing::kNow); }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fenra::fuzzing::quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    static std::string introspection;
    static fenra::oidc::OidcBackend* backend = [] {
        auto* b = new fenra::oidc::OidcBackend(fenra::fuzzing::token_config());
        b->set_transport(fenra::fuzzing::scripted_provider(&introspection));
        b->set_clock([] { return fenra::fuzzing::kNow; });
        return b;
    }();
    static fenra::auth::BackendChecker checker(*backend);
    static FixedClock clock;
    static fenra::auth::RateLimiter limiter(1u << 30, 1u << 30, clock);
    static fenra::auth::SaslHandler handler(limiter, checker);

    const size_t cut = all.find("\n--\n");
    const std::string_view message = all.substr(0, cut);
    introspection.assign(cut == std::string_view::npos ? std::string_view("{\"active\":false}")
                                                       : all.substr(cut + 4));

    bool answered = false;
    handler.handle(
        fenra::auth::AuthRequest{
            .id = 7, .mechanism = 3, .address = {}, .account = {}, .initial = message},
        [&answered](const fenra::auth::AuthAnswer& a) {
            answered = true;
            if (a.success != a.condition.empty()) std::abort();
            if (a.success &&
                (a.username.empty() || a.username.size() > 256 || a.third.size() > 512))
                std::abort();
            if (!a.success && a.condition != "not-authorized" && a.condition != "invalid-encoding")
                std::abort();
        });
    if (!answered) std::abort();  // the scripted provider answers at once
    return 0;
}
