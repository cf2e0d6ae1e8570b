#include "auth/rate_limiter.h"

#include <arpa/inet.h>
#include <openssl/rand.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "auth/oidc/username.h"
#include "runtime/log.h"

namespace fenra::auth {
namespace {

constexpr std::string_view kScope = "rate_limiter";
constexpr size_t kMaxKeyText = 1024;  // longer names share the budget of their first bytes

class MonotonicClock final : public Clock {
  public:
    uint32_t now() const override {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint32_t>(ts.tv_sec) + 1;
    }
};

uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

uint64_t load64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

struct SipState {
    uint64_t v0, v1, v2, v3;
    void rounds(int n) {
        for (int i = 0; i < n; ++i) {
            v0 += v1;
            v1 = rotl(v1, 13);
            v1 ^= v0;
            v0 = rotl(v0, 32);
            v2 += v3;
            v3 = rotl(v3, 16);
            v3 ^= v2;
            v0 += v3;
            v3 = rotl(v3, 21);
            v3 ^= v0;
            v2 += v1;
            v1 = rotl(v1, 17);
            v1 ^= v2;
            v2 = rotl(v2, 32);
        }
    }
    void absorb(uint64_t m) {
        v3 ^= m;
        rounds(2);
        v0 ^= m;
    }
};

}  // namespace

const Clock& monotonic_clock() {
    static const MonotonicClock clock;
    return clock;
}

uint64_t siphash24(const unsigned char (&key)[16], std::string_view data) {
    const uint64_t k0 = load64(key), k1 = load64(key + 8);
    SipState s{0x736f6d6570736575ULL ^ k0, 0x646f72616e646f6dULL ^ k1, 0x6c7967656e657261ULL ^ k0,
               0x7465646279746573ULL ^ k1};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const size_t whole = data.size() / 8 * 8;
    for (size_t i = 0; i < whole; i += 8)
        s.absorb(load64(p + i));
    uint64_t last = static_cast<uint64_t>(data.size()) << 56;
    for (size_t i = whole; i < data.size(); ++i)
        last |= static_cast<uint64_t>(p[i]) << (8 * (i - whole));
    s.absorb(last);
    s.v2 ^= 0xff;
    s.rounds(4);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

RateLimiter::RateLimiter(const RateLimits& limits, const Clock& clock)
    : limits_(limits),
      ring_(
          std::clamp(std::max(limits.max_per_account, limits.max_per_address), kMinRing, kMaxRing)),
      clock_(clock),
      accounts_(std::make_unique<Entry[]>(kTableSize)),
      addresses_(std::make_unique<Entry[]>(kTableSize)) {
    limits_.failure_reset_seconds = std::max(limits_.failure_reset_seconds, kWindow);
    if (RAND_bytes(hash_key_, sizeof hash_key_) != 1) {
        log::error(kScope, {"no random bytes for the table key"});
        std::abort();
    }
}

RateLimiter::RateLimiter(uint32_t max_per_account, uint32_t max_per_address, const Clock& clock)
    : RateLimiter(RateLimits{.max_per_account = max_per_account,
                             .max_per_address = max_per_address,
                             .failure_reset_seconds = 900,
                             .user_domain = std::nullopt},
                  clock) {}

RateLimiter::~RateLimiter() = default;

const uint64_t* RateLimiter::KeyMemo::get(std::string_view s) const {
    return valid && std::string_view(text, len) == s ? &key : nullptr;
}

void RateLimiter::KeyMemo::put(std::string_view s, uint64_t k) {
    valid = s.size() <= kText;
    if (!valid) return;
    len = s.copy(text, kText);
    key = k;
}

uint64_t RateLimiter::account_key(std::string_view account) const {
    if (const uint64_t* k = account_memo_.get(account)) return *k;
    const uint64_t k = account_hash(account);
    account_memo_.put(account, k);
    return k;
}

uint64_t RateLimiter::address_key(std::string_view address) const {
    if (const uint64_t* k = address_memo_.get(address)) return *k;
    const uint64_t k = address_hash(address);
    address_memo_.put(address, k);
    return k;
}

uint64_t RateLimiter::account_hash(std::string_view account) const {
    oidc::Username name;
    if (oidc::normalise_username(account, limits_.user_domain, name) == oidc::UsernameFault::none)
        return siphash24(hash_key_, name.view());
    char lower[kMaxKeyText];
    const size_t n = std::min(account.size(), sizeof lower);
    for (size_t i = 0; i < n; ++i) {
        const char c = account[i];
        lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return siphash24(hash_key_, {lower, n});
}

uint64_t RateLimiter::address_hash(std::string_view address) const {
    // A tag byte keeps the forms apart: 4 (IPv4), 6 (IPv6 /64), t (text),
    // e (no address).
    char tagged[kMaxKeyText];
    auto hash = [&](char tag, const void* bytes, size_t n) {
        tagged[0] = tag;
        std::memcpy(tagged + 1, bytes, n);
        return siphash24(hash_key_, {tagged, n + 1});
    };
    if (address.empty()) return hash('e', "", 0);
    char text[INET6_ADDRSTRLEN + 1];
    if (address.size() < sizeof text) {
        std::memcpy(text, address.data(), address.size());
        text[address.size()] = '\0';
        unsigned char raw[16];
        if (::inet_pton(AF_INET, text, raw) == 1) return hash('4', raw, 4);
        if (::inet_pton(AF_INET6, text, raw) == 1) {
            if (IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(raw)))
                return hash('4', raw + 12, 4);
            return hash('6', raw, 8);
        }
    }
    return hash('t', address.data(), std::min(address.size(), sizeof tagged - 1));
}

RateLimiter::Entry* RateLimiter::find(Entry* table, uint64_t key) const {
    for (size_t i = 0; i < kProbe; ++i) {
        Entry& e = table[(key + i) % kTableSize];
        if (!e.used) return nullptr;
        if (e.key == key) return &e;
    }
    return nullptr;
}

RateLimiter::Entry* RateLimiter::find_or_insert(Entry* table, uint64_t key, uint32_t now) {
    Entry* slot = nullptr;
    for (size_t i = 0; i < kProbe && slot == nullptr; ++i) {
        Entry& e = table[(key + i) % kTableSize];
        if (e.used && e.key == key) return &e;
        if (!e.used) slot = &e;
    }
    if (slot == nullptr) {
        // The probe path is full: its least recently used entry that is not
        // locked (or, when every one is, the least recently used of all)
        // makes room.
        Entry* oldest = nullptr;
        for (size_t i = 0; i < kProbe; ++i) {
            Entry& e = table[(key + i) % kTableSize];
            const bool locked = e.lock_until > now;
            const bool oldest_locked = oldest != nullptr && oldest->lock_until > now;
            if (oldest == nullptr || (oldest_locked && !locked) ||
                (oldest_locked == locked && e.last_used < oldest->last_used))
                oldest = &e;
        }
        slot = oldest;
    }
    *slot = Entry{};
    slot->key = key;
    slot->used = true;
    slot->last_used = now;
    return slot;
}

uint32_t RateLimiter::recent(const Entry& e, uint32_t now) const {
    const uint32_t floor = now < kWindow ? 0 : now - kWindow;
    uint32_t n = 0;
    for (uint32_t i = 0; i < ring_; ++i)
        n += e.times[i] > floor ? 1 : 0;
    return n;
}

uint16_t RateLimiter::failures(const Entry& e, uint32_t now) const {
    return now - e.last_failure >= limits_.failure_reset_seconds ? 0 : e.failures;
}

void RateLimiter::stamp(Entry& e, uint32_t now) {
    e.times[e.pos] = now;
    e.pos = static_cast<uint8_t>((e.pos + 1) % ring_);
    e.last_used = now;
}

RateLimiter::Verdict RateLimiter::check(std::string_view address, std::string_view account) {
    const uint32_t now = clock_.now();
    const Entry* e = find(addresses_.get(), address_key(address));
    if (e != nullptr && recent(*e, now) >= limits_.max_per_address) {
        log::info(kScope, {"rate limited by IP: ", address});
        return Verdict::policy_violation;
    }
    return check_account(account, now);
}

RateLimiter::Verdict RateLimiter::check_account(std::string_view account) {
    return check_account(account, clock_.now());
}

RateLimiter::Verdict RateLimiter::check_account(std::string_view account, uint32_t now) {
    if (account.empty()) return Verdict::pass;
    const Entry* e = find(accounts_.get(), account_key(account));
    if (e == nullptr) return Verdict::pass;
    if (e->lock_until != 0 && e->lock_until > now) {
        log::info(kScope,
                  {"account temporarily locked: ", account, " (until ", e->lock_until, ")"});
        return Verdict::account_disabled;
    }
    if (recent(*e, now) >= limits_.max_per_account) {
        log::info(kScope, {"rate limited by account: ", account});
        return Verdict::policy_violation;
    }
    return Verdict::pass;
}

void RateLimiter::record_attempt(std::string_view address, std::string_view account) {
    const uint32_t now = clock_.now();
    stamp(*find_or_insert(addresses_.get(), address_key(address), now), now);
    if (!account.empty()) stamp(*find_or_insert(accounts_.get(), account_key(account), now), now);
}

void RateLimiter::record_failure(std::string_view account, std::string_view address) {
    const uint32_t now = clock_.now();
    find_or_insert(addresses_.get(), address_key(address), now)->last_used = now;
    if (account.empty()) return;
    Entry& e = *find_or_insert(accounts_.get(), account_key(account), now);
    e.failures = failures(e, now);  // decayed
    if (e.failures < UINT16_MAX) ++e.failures;
    e.last_failure = now;
    e.last_used = now;
    if (e.failures >= kLockThreshold) {
        e.lock_until = now + kLockDuration;
        log::info(kScope, {"account temp-locked: ", account, " after ", e.failures, " failures"});
    }
}

void RateLimiter::record_success(std::string_view account) {
    if (account.empty()) return;
    Entry* e = find(accounts_.get(), account_key(account));
    if (e == nullptr) return;
    e->failures = 0;
    e->lock_until = 0;
}

uint32_t RateLimiter::recent_attempts_for_account(std::string_view account) const {
    const Entry* e = find(accounts_.get(), account_key(account));
    return e == nullptr ? 0 : recent(*e, clock_.now());
}

uint16_t RateLimiter::failures_for_account(std::string_view account) const {
    const Entry* e = find(accounts_.get(), account_key(account));
    return e == nullptr ? 0 : failures(*e, clock_.now());
}

uint32_t RateLimiter::lock_until_for_account(std::string_view account) const {
    const Entry* e = find(accounts_.get(), account_key(account));
    return e == nullptr ? 0 : e->lock_until;
}

size_t RateLimiter::used_address_entries() const {
    size_t n = 0;
    for (size_t i = 0; i < kTableSize; ++i)
        n += addresses_[i].used ? 1 : 0;
    return n;
}

}  // namespace fenra::auth
