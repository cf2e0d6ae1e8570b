#include "auth/login_queue.h"

#include <string_view>
#include <vector>

#include "auth/oidc/token_validation.h"

namespace fenra::auth {

// The strings of a request that waits, wiped when it goes.
struct LoginQueue::Held {
    explicit Held(const AuthRequest& req)
        : id(req.id),
          mechanism(req.mechanism),
          address(req.address),
          account(req.account),
          initial(req.initial) {}

    AuthRequest request() const {
        return AuthRequest{.id = id,
                           .mechanism = mechanism,
                           .address = address.text,
                           .account = account.text,
                           .initial = initial.text};
    }

    uint32_t id;
    uint8_t mechanism;
    oidc::SecretCopy address, account, initial;  // the password or token is in initial
};

struct LoginQueue::Login {
    Login(uint64_t s, int sl, uint32_t i) : seq(s), slot(sl), id(i) {}

    uint64_t seq;
    int slot;
    uint32_t id;
    std::unique_ptr<Held> held;  // while it waits
    uint64_t grant_account = 0;
    bool local = false;  // may start beyond the limit
    bool running = false;
    PendingCheck pending;
};

LoginQueue::LoginQueue(SaslHandler& handler, size_t max_in_flight, Send send)
    : handler_(handler),
      max_in_flight_(max_in_flight < 1 ? 1 : max_in_flight),
      send_(std::move(send)),
      bypass_allowed_(max_in_flight_ > 1) {}

LoginQueue::~LoginQueue() {
    for (auto& [k, login] : logins_)
        if (login->running) handler_.cancel(login->pending);
}

void LoginQueue::submit(int slot, const AuthRequest& req) {
    const uint64_t k = key(slot, req.id);
    remove(k);
    if (order_.size() >= kMaxWaiting) {
        send_(slot, req.id,
              AuthAnswer{.success = false,
                         .username = {},
                         .third = {},
                         .condition = "temporary-auth-failure"});
        start_waiting();
        return;
    }
    auto login = std::make_unique<Login>(++last_seq_, slot, req.id);
    login->grant_account = handler_.grant_account(req);
    // With nothing waiting and room to run, the login starts from the
    // request as it stands, without copies of its strings.
    const bool free = !starting_ && order_.empty() &&
                      (login->grant_account == 0 || !busy_accounts_.contains(login->grant_account));
    bool now = free && running_ < max_in_flight_;
    if (!now) {
        login->local = bypass_allowed_ && handler_.checked_locally(req);
        now = free && login->local;
    }
    if (!now) {
        login->held = std::make_unique<Held>(req);
        order_.emplace(login->seq, k);
    }
    logins_.emplace(k, std::move(login));
    if (now) start(k, req);
    start_waiting();
}

void LoginQueue::drop_slot(int slot) {
    std::vector<uint64_t> gone;
    for (auto it = logins_.lower_bound(key(slot, 0));
         it != logins_.end() && it->first <= key(slot, UINT32_MAX); ++it)
        gone.push_back(it->first);
    for (const uint64_t k : gone)
        remove(k);
    start_waiting();
}

void LoginQueue::remove(uint64_t k) {
    const auto it = logins_.find(k);
    if (it == logins_.end()) return;
    std::unique_ptr<Login> login = std::move(it->second);
    logins_.erase(it);
    if (!login->running) {
        order_.erase(login->seq);
        return;
    }
    --running_;
    if (login->grant_account != 0) busy_accounts_.erase(login->grant_account);
    handler_.cancel(login->pending);
}

void LoginQueue::start_waiting() {
    // A login that ends while others start (answered at once) comes back
    // here: the loop below picks up what it freed.
    if (starting_) {
        start_again_ = true;
        return;
    }
    starting_ = true;
    do {
        start_again_ = false;
        auto it = order_.begin();
        while (it != order_.end()) {
            const auto [seq, k] = *it;
            const Login& login = *logins_.at(k);
            const bool room = running_ < max_in_flight_ || login.local;
            if (!room ||
                (login.grant_account != 0 && busy_accounts_.contains(login.grant_account))) {
                ++it;
                continue;
            }
            order_.erase(it);
            // The copies live until the check has taken what it keeps.
            const std::unique_ptr<Held> held = std::move(logins_.at(k)->held);
            start(k, held->request());
            // Starting may have answered and removed other logins.
            it = order_.upper_bound(seq);
        }
    } while (start_again_);
    starting_ = false;
}

void LoginQueue::start(uint64_t k, const AuthRequest& req) {
    Login& login = *logins_.at(k);
    login.running = true;
    ++running_;
    if (login.grant_account != 0) busy_accounts_.insert(login.grant_account);
    const uint64_t seq = login.seq;
    const PendingCheck p =
        handler_.handle(req, [this, k, seq](const AuthAnswer& answer) { done(k, seq, answer); });
    const auto it = logins_.find(k);
    if (it != logins_.end() && it->second->seq == seq) it->second->pending = p;
}

void LoginQueue::done(uint64_t k, uint64_t seq, const AuthAnswer& answer) {
    const auto it = logins_.find(k);
    if (it == logins_.end() || it->second->seq != seq) return;
    std::unique_ptr<Login> login = std::move(it->second);
    logins_.erase(it);
    --running_;
    if (login->grant_account != 0) busy_accounts_.erase(login->grant_account);
    send_(login->slot, login->id, answer);
    login.reset();
    start_waiting();
}

}  // namespace fenra::auth
