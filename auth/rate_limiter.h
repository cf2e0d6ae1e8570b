// Per-address and per-account rate limits with a temporary account lock.
//
// Two fixed open-addressed tables of 4096 entries, one keyed by client
// address, one by account; names are known only by their SipHash-2-4 under a
// key drawn at random for each limiter, so nobody can aim names at one slot.
// Accounts are keyed by their normalised name (oidc/username.h: "Alice",
// "alice" and "alice@" + the user domain are one account; a name that does
// not normalise counts lower-cased as it is). Addresses count by IPv4 address
// and by IPv6 /64 (an IPv4-mapped address as its IPv4 address); the empty
// address is one bucket of its own.
//
// Each entry keeps a ring of recent attempt times. A request is refused when
// the number of attempt times inside the last 120 seconds has reached the
// configured maximum; an account is locked for 300 seconds once it has failed
// 10 times since its last success, and again after every further failure.
// Failures decay: a count untouched for failure_reset_seconds starts again
// from zero. The ring holds as many times as the larger maximum needs (at
// least 8, at most 64), so a maximum of N refuses the (N+1)th attempt inside
// the window.
//
// A name lives within 64 slots of its home slot. When a new name finds those
// full, it takes over the least recently used of them that is not locked, so
// a flood of made-up names cannot switch the limiter off: it only pushes out
// names nobody has used for longer, and every lookup stays 64 slots short.
// Times come from the monotonic clock.
//
// An empty account stands for no account: the account table is skipped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace fenra::auth {

// Seconds on a clock that never goes back. Tests substitute their own.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint32_t now() const = 0;
};

// CLOCK_MONOTONIC, one second ahead (a time is never 0).
const Clock& monotonic_clock();

// SipHash-2-4 of data under a 16-byte key.
uint64_t siphash24(const unsigned char (&key)[16], std::string_view data);

struct RateLimits {
    uint32_t max_per_account = 5;
    uint32_t max_per_address = 20;
    uint32_t failure_reset_seconds = 900;  // at least the 120-second window
    std::optional<std::string_view> user_domain;
};

class RateLimiter {
  public:
    static constexpr size_t kTableSize = 4096;
    static constexpr size_t kProbe = 64;            // a name lives within 64 slots of its home
    static constexpr uint32_t kWindow = 120;        // seconds
    static constexpr uint32_t kLockDuration = 300;  // seconds
    static constexpr uint16_t kLockThreshold = 10;  // failures
    static constexpr uint32_t kMinRing = 8;
    static constexpr uint32_t kMaxRing = 64;

    enum class Verdict : uint8_t { pass, policy_violation, account_disabled };

    explicit RateLimiter(const RateLimits& limits, const Clock& clock = monotonic_clock());
    RateLimiter(uint32_t max_per_account, uint32_t max_per_address,
                const Clock& clock = monotonic_clock());
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

    // The table keys: equal for names that count as one account or address.
    uint64_t account_key(std::string_view account) const;
    uint64_t address_key(std::string_view address) const;

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
        uint32_t last_failure;     // accounts only
        uint32_t last_used;
        uint16_t failures;  // since the last success or decay (accounts only)
        uint8_t pos;        // where the next attempt time goes
        bool used;
    };

  private:
    // The last text hashed to a key and its key: the checks and records of
    // one request ask for the same names in a row.
    struct KeyMemo {
        static constexpr size_t kText = 64;
        char text[kText];
        size_t len = 0;
        bool valid = false;
        uint64_t key = 0;
        const uint64_t* get(std::string_view s) const;
        void put(std::string_view s, uint64_t k);
    };

    uint64_t account_hash(std::string_view account) const;
    Verdict check_account(std::string_view account, uint32_t now);
    uint64_t address_hash(std::string_view address) const;

    Entry* find(Entry* table, uint64_t key) const;
    Entry* find_or_insert(Entry* table, uint64_t key, uint32_t now);
    uint32_t recent(const Entry& e, uint32_t now) const;
    uint16_t failures(const Entry& e, uint32_t now) const;
    void stamp(Entry& e, uint32_t now);

    RateLimits limits_;
    uint32_t ring_;
    const Clock& clock_;
    unsigned char hash_key_[16];
    mutable KeyMemo account_memo_, address_memo_;
    std::unique_ptr<Entry[]> accounts_;
    std::unique_ptr<Entry[]> addresses_;
};

}  // namespace fenra::auth
