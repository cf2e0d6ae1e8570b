// Happy Eyeballs (RFC 8305): a TCP connection to one target over whichever
// of its addresses answers first.
//
// The addresses are tried in turn with the families interleaved, IPv6 first
// (v6, v4, v6, v4, ...; the rest of the longer family at the end). The next
// attempt starts 250 ms after the one before, or at once when every attempt
// under way has failed; attempts run side by side. The first to connect wins:
// the others are closed and leave the loop. One time-out covers all
// addresses together. Nothing here knows a session.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/event_loop.h"
#include "runtime/result.h"
#include "s2s/net/resolver.h"

namespace fenra::s2s {

inline constexpr uint64_t kConnectionAttemptDelayMs = 250;

enum class ConnectFailure : uint8_t {
    none,
    socket,     // no socket could be made for any address
    refused,    // every address refused or was unreachable
    timed_out,  // the time-out passed first
};

struct ConnectOutcome {
    int fd = -1;         // the connected socket, not registered with the loop; -1 on failure
    DnsAddress address;  // the address it is connected to
    ConnectFailure failure = ConnectFailure::none;
};

std::string_view connect_failure_name(ConnectFailure f);  // "none", "socket", ...

class HappyEyeballs : private LoopHandler {
  public:
    // Called once per start(), unless cancelled first. The callback owns the
    // descriptor and may destroy the connector.
    using Done = std::function<void(ConnectOutcome&& outcome)>;

    explicit HappyEyeballs(EventLoop& loop) : loop_(loop) {}
    ~HappyEyeballs() override { cancel(); }
    HappyEyeballs(const HappyEyeballs&) = delete;
    HappyEyeballs& operator=(const HappyEyeballs&) = delete;

    // Starts connecting to ADDRESSES (ports set), giving up after
    // TIMEOUT_MS. Any earlier run of this connector is cancelled. Errors:
    // InvalidArgs for no address, OutOfMemory; the loop's errors for its
    // timers. An address that fails at once is reported through DONE like a
    // later failure, never from inside start().
    Result<void> start(std::span<const DnsAddress> addresses, uint64_t timeout_ms, Done done);

    // Closes every attempt; the callback never comes.
    void cancel();

    bool running() const { return static_cast<bool>(done_); }

  private:
    struct Attempt {
        int fd;
        DnsAddress address;
    };
    void on_event(const LoopEvent& ev) override;
    // Starts the next address (a failure at once is logged and counted);
    // false when none is left.
    bool start_next();
    // Starts the next address, and more while none is under way, then sets
    // the attempt delay if any address is left. False when nothing is under
    // way and no address is left.
    bool advance();
    void close_attempt(size_t i);
    void finish(ConnectOutcome&& outcome);

    EventLoop& loop_;
    std::vector<DnsAddress> order_;
    size_t next_ = 0;
    std::vector<Attempt> attempts_;
    TimerId stagger_ = 0;
    TimerId deadline_ = 0;
    ConnectFailure last_failure_ = ConnectFailure::refused;
    Done done_;
};

}  // namespace fenra::s2s
