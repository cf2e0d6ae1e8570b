#include "s2s/net/dialer.h"

#include <utility>

#include "runtime/log.h"

namespace fenra::s2s {
namespace {

constexpr std::string_view kScope = "fenra-s2s";

DialFailure dial_failure(ConnectFailure f) {
    switch (f) {
        case ConnectFailure::socket:
            return DialFailure::socket;
        case ConnectFailure::timed_out:
            return DialFailure::timed_out;
        case ConnectFailure::none:
        case ConnectFailure::refused:
            break;
    }
    return DialFailure::refused;
}

}  // namespace

std::string_view dial_failure_name(DialFailure f) {
    switch (f) {
        case DialFailure::none:
            return "none";
        case DialFailure::bogus:
            return "dns-resolution-failed";
        case DialFailure::no_address:
            return "hostname-resolution-failed";
        case DialFailure::socket:
            return "socket-creation-failed";
        case DialFailure::refused:
        case DialFailure::timed_out:
            break;
    }
    return "tcp-connect-failed";
}

Result<void> Dialer::start(std::string_view domain, uint64_t target_timeout_ms, Done done) {
    cancel();
    timeout_ms_ = target_timeout_ms;
    current_ = 0;
    settled_ = false;
    last_ = DialFailure::no_address;
    auto found = lookup_.find(domain, [this](TargetsOutcome o) {
        if (o == TargetsOutcome::bogus) {
            log::warn(kScope, {"no target for ", lookup_.domain(), ": bogus SRV answer"});
            return fail(DialFailure::bogus);
        }
        try_target();
    });
    if (!found) return found.error();
    done_ = std::move(done);
    if (!*found) try_target();  // an address literal: its connect reports from the loop
    return {};
}

void Dialer::cancel() {
    eyeballs_.cancel();
    lookup_.cancel();
    done_ = nullptr;
}

void Dialer::next(Done done) {
    done_ = std::move(done);
    ++current_;
    try_target();
}

void Dialer::fail(DialFailure f) {
    Done done = std::move(done_);
    done_ = nullptr;
    done({-1, current_, {}, f});
}

void Dialer::try_target() {
    for (; current_ < lookup_.targets().size(); ++current_) {
        const Target& t = lookup_.targets()[current_];
        auto started = lookup_.resolve(current_, [this](size_t) { try_target(); });
        if (started && *started) return;  // comes back here with the addresses
        if (t.addresses.empty()) {
            last_ = DialFailure::no_address;
            if (current_ + 1 < lookup_.targets().size())
                log::info(kScope, {"outbound connect to ", t.host, ":", t.port, " failed for ",
                                   lookup_.domain(), " (", dial_failure_name(last_),
                                   "), trying next target"});
            continue;
        }
        log::info(kScope, {"connecting to ", t.host, ":", t.port, " for domain ", lookup_.domain(),
                           " (direct_tls=", t.direct_tls ? "true" : "false", ")"});
        auto ok = eyeballs_.start(t.addresses, timeout_ms_, [this](ConnectOutcome&& o) {
            if (o.fd >= 0) {
                Done done = std::move(done_);
                done_ = nullptr;
                return done({o.fd, current_, o.address, DialFailure::none});
            }
            last_ = dial_failure(o.failure);
            const Target& failed = lookup_.targets()[current_];
            if (current_ + 1 < lookup_.targets().size())
                log::info(kScope, {"outbound TCP connect to ", failed.host, ":", failed.port,
                                   " failed for ", lookup_.domain(), ", trying next target"});
            ++current_;
            try_target();
        });
        if (ok) return;
        last_ = DialFailure::socket;
    }
    fail(last_);
}

}  // namespace fenra::s2s
