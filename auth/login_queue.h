// The logins in progress. Up to max_in_flight logins run at once; the rest
// wait in arrival order, each with its own copies of the request's strings
// (wiped when it starts or goes). Answers go out as each login ends, so they may overtake
// each other; with max_in_flight = 1 they come in request order. The core
// names a login by its slot and request id: a new request with the same pair
// replaces the login waiting or running, whose answer is dropped.
//
// With max_in_flight above 1, a login that asks the provider nothing but the
// shared JWKS refresh (OAUTHBEARER with a JWT) does not wait for room: a
// token verifiable with cached keys is answered at once, however many logins
// wait for the provider.
//
// Password grants for one account run one at a time, in arrival order: a
// login waits until no other grant for its account runs, and only then passes
// the rate checks, so waiting counts neither as an attempt nor as a failure.
// A waiting login whose account is busy lets later logins of other accounts
// go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "auth/sasl_handler.h"

namespace fenra::auth {

class LoginQueue {
  public:
    static constexpr size_t kMaxWaiting = 4096;

    // Hands one answer on to the core's slot.
    using Send = std::function<void(int slot, uint32_t id, const AuthAnswer& answer)>;

    LoginQueue(SaslHandler& handler, size_t max_in_flight, Send send);
    ~LoginQueue();
    LoginQueue(const LoginQueue&) = delete;
    LoginQueue& operator=(const LoginQueue&) = delete;

    // Takes a request of the core on slot. When kMaxWaiting logins wait
    // already, it is answered "temporary-auth-failure" at once.
    void submit(int slot, const AuthRequest& req);
    // The core on slot is gone: its logins end without answers.
    void drop_slot(int slot);

    size_t running() const { return running_; }
    size_t waiting() const { return order_.size(); }

  private:
    struct Held;
    struct Login;
    static uint64_t key(int slot, uint32_t id) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(slot)) << 32) | id;
    }

    void start_waiting();
    void start(uint64_t k, const AuthRequest& req);
    void remove(uint64_t k);
    void done(uint64_t k, uint64_t seq, const AuthAnswer& answer);

    SaslHandler& handler_;
    size_t max_in_flight_;
    Send send_;
    std::map<uint64_t, std::unique_ptr<Login>> logins_;  // by slot and id
    std::map<uint64_t, uint64_t> order_;                 // waiting: arrival number to key
    std::set<uint64_t> busy_accounts_;                   // with a grant running
    uint64_t last_seq_ = 0;
    bool bypass_allowed_ = false;  // max_in_flight above 1
    size_t running_ = 0;
    bool starting_ = false;
    bool start_again_ = false;
};

}  // namespace fenra::auth
