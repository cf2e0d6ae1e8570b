// SASL initial responses from clients: the PLAIN message split, the
// OAUTHBEARER token cut, and the whole request handler with a scripted
// provider. The first byte picks the mechanism for the handler.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

#include "auth/sasl_handler.h"
#include "runtime/log.h"

namespace {

using fenra::auth::CredentialChecker;

class ScriptedChecker final : public CredentialChecker {
  public:
    uint64_t check_password(std::string_view username, std::string_view password,
                            std::function<void(Outcome)> done) override {
        if (password.empty()) std::abort();
        done(username.size() % 2 == 0 ? Outcome::accepted : Outcome::rejected);
        return 0;
    }
    uint64_t check_token(std::string_view token,
                         std::function<void(const TokenAnswer&)> done) override {
        if (token.empty()) std::abort();
        if (token.size() % 3 != 0) {
            done({});
        } else {
            done({.outcome = Outcome::accepted,
                  .identity = {.username = token.substr(0, token.size() / 3), .picture = {}}});
        }
        return 0;
    }
    void cancel_password(uint64_t) override {}
    void cancel_token(uint64_t) override {}
};

struct FixedClock final : fenra::auth::Clock {
    uint32_t t = 1'000'000;
    uint32_t now() const override { return t; }
};

bool within(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check_plain(std::string_view msg) {
    const auto c = fenra::auth::parse_plain(msg);
    if (!c) return;
    if (c->password.empty() || c->username.find('\0') != std::string_view::npos ||
        c->authzid.find('\0') != std::string_view::npos)
        std::abort();
    std::string joined(c->authzid);
    joined += '\0';
    joined += c->username;
    joined += '\0';
    joined += c->password;
    if (joined != msg) std::abort();
}

void check_bearer(std::string_view msg) {
    const auto t = fenra::auth::extract_bearer_token(msg);
    if (!t) return;
    if (t->empty() || !within(*t, msg)) std::abort();
    if (msg.find("auth=Bearer ") == std::string_view::npos) {
        if (*t != msg) std::abort();
    } else if (t->find('\x01') != std::string_view::npos) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fenra::log::set_output_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    check_plain(all);
    check_bearer(all);
    if (size == 0) return 0;

    static FixedClock clock;
    static fenra::auth::RateLimiter limiter(5, 20, clock);
    static ScriptedChecker checker;
    static fenra::auth::SaslHandler handler(limiter, checker);
    clock.t += 7;  // the limiter's tables fill up and get taken over as time goes on

    const std::string_view msg = all.substr(1);
    const std::string_view account = msg.substr(0, msg.size() % 5);
    bool answered = false;
    handler.handle(
        fenra::auth::AuthRequest{
            .id = 1,
            .mechanism = static_cast<uint8_t>(1 + data[0] % 3),
            .address = msg.substr(0, msg.size() % 3),
            .account = account,
            .initial = msg,
        },
        [&answered](const fenra::auth::AuthAnswer& a) {
            answered = true;
            if (a.success != a.condition.empty()) std::abort();
        });
    if (!answered) std::abort();
    return 0;
}
