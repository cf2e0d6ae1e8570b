// Outbound connection establishment: from a remote domain to a connected
// TCP socket, without ever waiting. The domain's targets come from
// TargetLookup (direct TLS first, then STARTTLS, in SRV order); each target's
// addresses are looked up when its turn comes and raced by HappyEyeballs
// with one time-out for all of them. A target without addresses, or whose
// every address fails or times out, is skipped; the dial fails with the last
// target's failure only when every target failed. A connection reported may
// still be found wanting by its user (its TLS handshake failed): next() goes
// on with the targets after it, until settle() keeps the one reported.
// Nothing here knows a session; the callback may destroy the Dialer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "runtime/event_loop.h"
#include "runtime/result.h"
#include "s2s/net/happy_eyeballs.h"
#include "s2s/net/resolver.h"
#include "s2s/net/target_lookup.h"

namespace fenra::s2s {

enum class DialFailure : uint8_t {
    none,
    bogus,       // an SRV answer was bogus: no target may be tried
    no_address,  // the target's name has no address
    socket,      // no socket could be made
    refused,     // the target refused or could not be reached
    timed_out,   // the target did not answer within the time-out
};

// The condition word a failed delivery reports: "dns-resolution-failed"
// (bogus), "hostname-resolution-failed", "socket-creation-failed",
// "tcp-connect-failed" (refused or timed out); "none".
std::string_view dial_failure_name(DialFailure f);

struct Dialed {
    int fd = -1;        // connected, not registered with the loop; -1 on failure
    size_t target = 0;  // index into targets() of the connected target
    DnsAddress address;
    DialFailure failure = DialFailure::none;
};

class Dialer {
  public:
    using Done = std::function<void(Dialed&& result)>;

    Dialer(Resolver& resolver, EventLoop& loop) : lookup_(resolver), eyeballs_(loop) {}
    Dialer(const Dialer&) = delete;
    Dialer& operator=(const Dialer&) = delete;

    // Finds DOMAIN's targets and connects to the first that answers, each
    // target given TARGET_TIMEOUT_MS. DONE once, with a socket or the
    // failure. Errors (no callback): NameTooLong, OutOfMemory, the
    // resolver's and the loop's.
    Result<void> start(std::string_view domain, uint64_t target_timeout_ms, Done done);

    // Drops the lookups and connects in flight; no callback comes.
    void cancel();

    // After a connection was reported: whether a target after it is left.
    bool has_next() const { return !settled_ && current_ + 1 < lookup_.targets().size(); }
    // Gives up the connection reported (its user closes it) and goes on with
    // the next target; DONE once as from start(), possibly before next()
    // returns. Only when has_next().
    void next(Done done);
    // The connection reported is the one kept: no later target is tried.
    void settle() { settled_ = true; }

    const TargetLookup& lookup() const { return lookup_; }
    TargetLookup& lookup() { return lookup_; }
    const Target& target(size_t i) const { return lookup_.targets()[i]; }

  private:
    // Tries targets from current_ on until one connects or none is left.
    void try_target();
    void fail(DialFailure f);

    TargetLookup lookup_;
    HappyEyeballs eyeballs_;
    uint64_t timeout_ms_ = 0;
    size_t current_ = 0;
    bool settled_ = false;
    DialFailure last_ = DialFailure::no_address;
    Done done_;
};

}  // namespace fenra::s2s
