#include "auth/rate_limiter.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "runtime/log.h"

namespace fenra::auth {
namespace {

constexpr std::string_view kScope = "rate_limiter";
constexpr uint64_t kSeed = 0xdeadbeefcafebabeULL;

// A wyhash-style 64-bit hash: fast, well distributed, not cryptographic.
// Names never leave the process, so only the spread across slots matters.
constexpr uint64_t kSecret[4] = {0xa0761d6478bd642fULL, 0xe7037ed1a0b428dbULL,
                                 0x8ebc6af09c88c6e3ULL, 0x589965cc75374cc3ULL};

void mum(uint64_t& a, uint64_t& b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    a = static_cast<uint64_t>(r);
    b = static_cast<uint64_t>(r >> 64);
}

uint64_t mix(uint64_t a, uint64_t b) {
    mum(a, b);
    return a ^ b;
}

uint64_t read8(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian on every target we build for
}

uint64_t read4(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint64_t read3(const unsigned char* p, size_t k) {
    return (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[k >> 1]) << 8) | p[k - 1];
}

uint64_t hash64(std::string_view s, uint64_t seed) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t len = s.size();
    seed ^= mix(seed ^ kSecret[0], kSecret[1]);
    uint64_t a = 0;
    uint64_t b = 0;
    if (len <= 16) {
        if (len >= 4) {
            const size_t q = (len >> 3) << 2;
            a = (read4(p) << 32) | read4(p + q);
            b = (read4(p + len - 4) << 32) | read4(p + len - 4 - q);
        } else if (len > 0) {
            a = read3(p, len);
        }
    } else {
        size_t i = len;
        if (i > 48) {
            uint64_t see1 = seed;
            uint64_t see2 = seed;
            do {
                seed = mix(read8(p) ^ kSecret[1], read8(p + 8) ^ seed);
                see1 = mix(read8(p + 16) ^ kSecret[2], read8(p + 24) ^ see1);
                see2 = mix(read8(p + 32) ^ kSecret[3], read8(p + 40) ^ see2);
                p += 48;
                i -= 48;
            } while (i > 48);
            seed ^= see1 ^ see2;
        }
        while (i > 16) {
            seed = mix(read8(p) ^ kSecret[1], read8(p + 8) ^ seed);
            p += 16;
            i -= 16;
        }
        a = read8(p + i - 16);
        b = read8(p + i - 8);
    }
    a ^= kSecret[1];
    b ^= seed;
    mum(a, b);
    return mix(a ^ kSecret[0] ^ len, b ^ kSecret[1]);
}

class SystemClock final : public Clock {
  public:
    uint32_t now() const override { return static_cast<uint32_t>(std::time(nullptr)); }
};

}  // namespace

const Clock& system_clock() {
    static const SystemClock clock;
    return clock;
}

uint64_t rate_key(std::string_view name) {
    const uint64_t h = hash64(name, kSeed);
    return h == 0 ? 1 : h;
}

RateLimiter::RateLimiter(uint32_t max_per_account, uint32_t max_per_address, const Clock& clock)
    : max_per_account_(max_per_account),
      max_per_address_(max_per_address),
      ring_(std::clamp(std::max(max_per_account, max_per_address), kMinRing, kMaxRing)),
      clock_(clock),
      accounts_(std::make_unique<Entry[]>(kTableSize)),
      addresses_(std::make_unique<Entry[]>(kTableSize)) {}

RateLimiter::~RateLimiter() = default;

RateLimiter::Entry* RateLimiter::find(Entry* table, std::string_view name) const {
    const uint64_t key = rate_key(name);
    for (size_t i = 0; i < kTableSize; ++i) {
        Entry& e = table[(key + i) % kTableSize];
        if (!e.used) return nullptr;
        if (e.key == key) return &e;
    }
    return nullptr;
}

RateLimiter::Entry* RateLimiter::find_or_insert(Entry* table, std::string_view name, uint32_t now) {
    const uint64_t key = rate_key(name);
    Entry* quiet = nullptr;  // first entry on the path that may be taken over
    for (size_t i = 0; i < kTableSize; ++i) {
        Entry& e = table[(key + i) % kTableSize];
        if (!e.used) {
            e = Entry{};
            e.key = key;
            e.used = true;
            return &e;
        }
        if (e.key == key) return &e;
        if (quiet == nullptr && stale(e, now)) quiet = &e;
    }
    if (quiet != nullptr) {
        *quiet = Entry{};
        quiet->key = key;
        quiet->used = true;
    }
    return quiet;
}

uint32_t RateLimiter::recent(const Entry& e, uint32_t now) const {
    const uint32_t floor = now < kWindow ? 0 : now - kWindow;
    uint32_t n = 0;
    for (uint32_t i = 0; i < ring_; ++i)
        n += e.times[i] > floor ? 1 : 0;
    return n;
}

bool RateLimiter::stale(const Entry& e, uint32_t now) const {
    const bool locked = e.lock_until != 0 && e.lock_until > now;
    return !locked && e.failures == 0 && recent(e, now) == 0;
}

void RateLimiter::stamp(Entry& e, uint32_t now) {
    e.times[e.pos] = now;
    e.pos = static_cast<uint8_t>((e.pos + 1) % ring_);
}

RateLimiter::Verdict RateLimiter::check(std::string_view address, std::string_view account) {
    if (!address.empty()) {
        const Entry* e = find(addresses_.get(), address);
        if (e != nullptr && recent(*e, clock_.now()) >= max_per_address_) {
            log::info(kScope, {"rate limited by IP: ", address});
            return Verdict::policy_violation;
        }
    }
    return check_account(account);
}

RateLimiter::Verdict RateLimiter::check_account(std::string_view account) {
    if (account.empty()) return Verdict::pass;
    const Entry* e = find(accounts_.get(), account);
    if (e == nullptr) return Verdict::pass;
    const uint32_t now = clock_.now();
    if (e->lock_until != 0 && e->lock_until > now) {
        log::info(kScope,
                  {"account temporarily locked: ", account, " (until ", e->lock_until, ")"});
        return Verdict::account_disabled;
    }
    if (recent(*e, now) >= max_per_account_) {
        log::info(kScope, {"rate limited by account: ", account});
        return Verdict::policy_violation;
    }
    return Verdict::pass;
}

void RateLimiter::record_attempt(std::string_view address, std::string_view account) {
    const uint32_t now = clock_.now();
    if (!address.empty()) {
        if (Entry* e = find_or_insert(addresses_.get(), address, now)) stamp(*e, now);
    }
    if (!account.empty()) {
        if (Entry* e = find_or_insert(accounts_.get(), account, now)) stamp(*e, now);
    }
}

void RateLimiter::record_failure(std::string_view account, std::string_view address) {
    const uint32_t now = clock_.now();
    if (!address.empty()) (void)find_or_insert(addresses_.get(), address, now);
    if (account.empty()) return;
    Entry* e = find_or_insert(accounts_.get(), account, now);
    if (e == nullptr) return;
    if (e->failures < UINT16_MAX) ++e->failures;
    if (e->failures >= kLockThreshold) {
        e->lock_until = now + kLockDuration;
        log::info(kScope, {"account temp-locked: ", account, " after ", e->failures, " failures"});
    }
}

void RateLimiter::record_success(std::string_view account) {
    if (account.empty()) return;
    Entry* e = find(accounts_.get(), account);
    if (e == nullptr) return;
    e->failures = 0;
    e->lock_until = 0;
}

uint32_t RateLimiter::recent_attempts_for_account(std::string_view account) const {
    const Entry* e = find(accounts_.get(), account);
    return e == nullptr ? 0 : recent(*e, clock_.now());
}

uint16_t RateLimiter::failures_for_account(std::string_view account) const {
    const Entry* e = find(accounts_.get(), account);
    return e == nullptr ? 0 : e->failures;
}

uint32_t RateLimiter::lock_until_for_account(std::string_view account) const {
    const Entry* e = find(accounts_.get(), account);
    return e == nullptr ? 0 : e->lock_until;
}

size_t RateLimiter::used_address_entries() const {
    size_t n = 0;
    for (size_t i = 0; i < kTableSize; ++i)
        n += addresses_[i].used ? 1 : 0;
    return n;
}

}  // namespace fenra::auth
