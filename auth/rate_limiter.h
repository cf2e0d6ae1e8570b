// Per-address and per-account rate limits with a temporary account lock.
//
// Two fixed open-addressed tables of 4096 entries, one keyed by client
// address, one by account name; names are known only by their 64-bit hash.
// Each entry keeps a ring of recent attempt times. A request is refused when
// the number of attempt times inside the last 120 seconds has reached the
// configured maximum; an account is locked for 300 seconds once it has failed
// 10 times since its last success, and again after every further failure.
//
// The ring holds as many times as the larger maximum needs (at least 8, at
// most 64), so a maximum of N refuses the (N+1)th attempt inside the window.
// When a new name finds a table full, it takes over the first entry on its
// probe path that has gone quiet (no recent attempt, no lock, no failures), so
// a flood of made-up names cannot switch the limiter off.
//
// An empty name stands for no name: every operation skips that table.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace fenra::auth {

// Seconds since 1970, truncated to 32 bits. Tests substitute their own.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint32_t now() const = 0;
};

// The real-time clock.
const Clock& system_clock();

// The hash under which names are stored (never 0).
uint64_t rate_key(std::string_view name);

class RateLimiter {
  public:
    static constexpr size_t kTableSize = 4096;
    static constexpr uint32_t kWindow = 120;        // seconds
    static constexpr uint32_t kLockDuration = 300;  // seconds
    static constexpr uint16_t kLockThreshold = 10;  // failures
    static constexpr uint32_t kMinRing = 8;
    static constexpr uint32_t kMaxRing = 64;

    enum class Verdict : uint8_t { pass, policy_violation, account_disabled };

    RateLimiter(uint32_t max_per_account, uint32_t max_per_address,
                const Clock& clock = system_clock());
    ~RateLimiter();
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // The address check, then the account's lock and rate checks. Creates
    // nothing. A refusal writes its line (scope rate_limiter).
    Verdict check(std::string_view address, std::string_view account);
    // The account's lock check, then its rate check.
    Verdict check_account(std::string_view account);

    // Enters the current time for the address and for the account.
    void record_attempt(std::string_view address, std::string_view account);
    // Counts a failure for the account (locking it at the threshold); the
    // address gets an entry if it had none.
    void record_failure(std::string_view account, std::string_view address);
    // Clears the account's failures and lock; its attempt times stay.
    void record_success(std::string_view account);

    uint32_t ring_size() const { return ring_; }

    // For tests.
    uint32_t recent_attempts_for_account(std::string_view account) const;
    uint16_t failures_for_account(std::string_view account) const;
    uint32_t lock_until_for_account(std::string_view account) const;
    size_t used_address_entries() const;

    struct Entry {
        uint64_t key;
        uint32_t times[kMaxRing];  // attempt times, a ring; 0 = empty
        uint32_t lock_until;       // 0 = not locked (accounts only)
        uint16_t failures;         // since the last success (accounts only)
        uint8_t pos;               // where the next attempt time goes
        bool used;
    };

  private:
    Entry* find(Entry* table, std::string_view name) const;
    Entry* find_or_insert(Entry* table, std::string_view name, uint32_t now);
    uint32_t recent(const Entry& e, uint32_t now) const;
    bool stale(const Entry& e, uint32_t now) const;
    void stamp(Entry& e, uint32_t now);

    uint32_t max_per_account_;
    uint32_t max_per_address_;
    uint32_t ring_;
    const Clock& clock_;
    std::unique_ptr<Entry[]> accounts_;
    std::unique_ptr<Entry[]> addresses_;
};

}  // namespace fenra::auth
