#include "auth/rate_limiter.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/auth/log_capture.h"

namespace fenra::auth {
namespace {

using testutil::LogCapture;
using Verdict = RateLimiter::Verdict;

struct FakeClock : Clock {
    uint32_t t = 1'700'000'000;
    uint32_t now() const override { return t; }
};

// One request as the handler makes it: check, then count the attempt.
Verdict request(RateLimiter& rl, std::string_view address, std::string_view account) {
    const Verdict v = rl.check(address, account);
    if (v == Verdict::pass) rl.record_attempt(address, account);
    return v;
}

TEST(RateLimiter, RingSizeFollowsTheLargerMaximum) {
    FakeClock c;
    EXPECT_EQ(RateLimiter(5, 20, c).ring_size(), 20u);
    EXPECT_EQ(RateLimiter(5, 5, c).ring_size(), 8u);
    EXPECT_EQ(RateLimiter(0, 0, c).ring_size(), 8u);
    EXPECT_EQ(RateLimiter(30, 2, c).ring_size(), 30u);
    EXPECT_EQ(RateLimiter(100, 3, c).ring_size(), 64u);
}

TEST(RateLimiter, SixthQuickAttemptOnAnAccountIsRefused) {
    FakeClock c;
    RateLimiter rl(5, 20, c);
    LogCapture log;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(request(rl, "10.0.0.1", "alice"), Verdict::pass) << i;
        ++c.t;
    }
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(request(rl, "10.0.0.2", "alice"), Verdict::policy_violation);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"info(rate_limiter): rate limited by account: alice"});
    // Refusals count nothing, so the account is free again once its first
    // attempt has left the window.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(request(rl, "", "alice"), Verdict::policy_violation);
    EXPECT_EQ(rl.recent_attempts_for_account("alice"), 5u);
    c.t += 120 - 5;  // the first attempt is now exactly 120 s old
    EXPECT_EQ(request(rl, "", "alice"), Verdict::pass);
    EXPECT_EQ(request(rl, "", "alice"), Verdict::policy_violation);
    // Other accounts were never affected.
    EXPECT_EQ(request(rl, "10.0.0.1", "bob"), Verdict::pass);
}

TEST(RateLimiter, WindowIsStrict) {
    FakeClock c;
    RateLimiter rl(1, 20, c);
    ASSERT_EQ(request(rl, "", "carol"), Verdict::pass);
    c.t += 119;
    EXPECT_EQ(rl.check("", "carol"), Verdict::policy_violation);
    c.t += 1;
    EXPECT_EQ(rl.check("", "carol"), Verdict::pass);
}

TEST(RateLimiter, EarlyClockFloorIsZero) {
    FakeClock c;
    c.t = 50;  // now smaller than the window
    RateLimiter rl(1, 1, c);
    ASSERT_EQ(request(rl, "a", "b"), Verdict::pass);
    EXPECT_EQ(rl.check("a", ""), Verdict::policy_violation);
    EXPECT_EQ(rl.check("", "b"), Verdict::policy_violation);
}

TEST(RateLimiter, AddressMaximumOfNRefusesTheNextAttempt) {
    for (uint32_t n : {1u, 8u, 9u, 20u, 64u}) {
        FakeClock c;
        RateLimiter rl(5, n, c);
        LogCapture log;
        for (uint32_t i = 0; i < n; ++i)
            ASSERT_EQ(request(rl, "192.0.2.7", "user" + std::to_string(i)), Verdict::pass)
                << n << " " << i;
        EXPECT_EQ(request(rl, "192.0.2.7", "fresh"), Verdict::policy_violation) << n;
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"info(rate_limiter): rate limited by IP: 192.0.2.7"});
        EXPECT_EQ(request(rl, "192.0.2.8", "fresh"), Verdict::pass) << n;
    }
}

TEST(RateLimiter, AccountMaximumAboveEight) {
    FakeClock c;
    RateLimiter rl(12, 3, c);
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(request(rl, "", "dave"), Verdict::pass) << i;
    EXPECT_EQ(request(rl, "", "dave"), Verdict::policy_violation);
}

TEST(RateLimiter, MaximumAboveTheRingNeverRefuses) {
    FakeClock c;
    RateLimiter rl(5, 100, c);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(request(rl, "198.51.100.1", ""), Verdict::pass) << i;
}

TEST(RateLimiter, MaximumZero) {
    FakeClock c;
    RateLimiter rl(0, 20, c);
    EXPECT_EQ(request(rl, "", "erin"), Verdict::pass);  // no entry yet
    EXPECT_EQ(request(rl, "", "erin"), Verdict::policy_violation);
    c.t += 3600;
    EXPECT_EQ(request(rl, "", "erin"), Verdict::policy_violation);  // an entry exists

    RateLimiter by_ip(5, 0, c);
    EXPECT_EQ(request(by_ip, "203.0.113.9", ""), Verdict::pass);
    EXPECT_EQ(request(by_ip, "203.0.113.9", ""), Verdict::policy_violation);
}

TEST(RateLimiter, AddressCheckComesFirst) {
    FakeClock c;
    RateLimiter rl(1, 1, c);
    ASSERT_EQ(request(rl, "a", "frank"), Verdict::pass);
    LogCapture log;
    EXPECT_EQ(rl.check("a", "frank"), Verdict::policy_violation);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"info(rate_limiter): rate limited by IP: a"});
}

TEST(RateLimiter, TenSpacedFailuresLockTheAccount) {
    FakeClock c;
    RateLimiter rl(5, 20, c);
    LogCapture log;
    for (int i = 1; i <= 10; ++i) {
        c.t += 30;  // never five attempts inside 120 s
        ASSERT_EQ(request(rl, "10.1.1.1", "grace"), Verdict::pass) << i;
        rl.record_failure("grace", "10.1.1.1");
    }
    const uint32_t locked_at = c.t;
    EXPECT_EQ(rl.failures_for_account("grace"), 10);
    EXPECT_EQ(rl.lock_until_for_account("grace"), locked_at + 300);
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "info(rate_limiter): account temp-locked: grace after 10 failures"});

    c.t += 299;
    LogCapture refused;
    EXPECT_EQ(request(rl, "10.9.9.9", "grace"), Verdict::account_disabled);
    EXPECT_EQ(refused.lines(), std::vector<std::string>{
                                   "info(rate_limiter): account temporarily locked: grace (until " +
                                   std::to_string(locked_at + 300) + ")"});

    // The lock ends, the failure count does not: the next failure locks again.
    c.t += 1;
    EXPECT_EQ(request(rl, "10.9.9.9", "grace"), Verdict::pass);
    LogCapture again;
    rl.record_failure("grace", "10.9.9.9");
    EXPECT_EQ(again.lines(),
              std::vector<std::string>{
                  "info(rate_limiter): account temp-locked: grace after 11 failures"});
    EXPECT_EQ(rl.lock_until_for_account("grace"), c.t + 300);
    EXPECT_EQ(rl.check("", "grace"), Verdict::account_disabled);
}

TEST(RateLimiter, LockWinsOverRateLimit) {
    FakeClock c;
    RateLimiter rl(1, 20, c);
    for (int i = 0; i < 10; ++i)
        rl.record_failure("heidi", "");
    rl.record_attempt("", "heidi");
    EXPECT_EQ(rl.check("", "heidi"), Verdict::account_disabled);
}

TEST(RateLimiter, SuccessClearsFailuresAndLock) {
    FakeClock c;
    RateLimiter rl(5, 20, c);
    for (int i = 0; i < 12; ++i)
        rl.record_failure("ivan", "");
    ASSERT_EQ(rl.check("", "ivan"), Verdict::account_disabled);
    rl.record_success("ivan");
    EXPECT_EQ(rl.failures_for_account("ivan"), 0);
    EXPECT_EQ(rl.lock_until_for_account("ivan"), 0u);
    EXPECT_EQ(rl.check("", "ivan"), Verdict::pass);
    rl.record_failure("ivan", "");
    EXPECT_EQ(rl.failures_for_account("ivan"), 1);
    EXPECT_EQ(rl.lock_until_for_account("ivan"), 0u);
}

TEST(RateLimiter, SuccessKeepsAttemptTimes) {
    FakeClock c;
    RateLimiter rl(2, 20, c);
    ASSERT_EQ(request(rl, "", "judy"), Verdict::pass);
    ASSERT_EQ(request(rl, "", "judy"), Verdict::pass);
    rl.record_success("judy");
    EXPECT_EQ(rl.check("", "judy"), Verdict::policy_violation);
}

TEST(RateLimiter, EmptyNamesSkipEverything) {
    FakeClock c;
    RateLimiter rl(0, 0, c);
    LogCapture log;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(request(rl, "", ""), Verdict::pass);
        rl.record_failure("", "");
        rl.record_success("");
    }
    EXPECT_EQ(rl.used_address_entries(), 0u);
    EXPECT_EQ(rl.failures_for_account(""), 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(RateLimiter, FailureCreatesAddressEntryWithoutAnAttempt) {
    FakeClock c;
    RateLimiter rl(5, 0, c);
    rl.record_failure("", "192.0.2.1");
    EXPECT_EQ(rl.used_address_entries(), 1u);
    // Max 0 refuses every address that has an entry, even without attempts.
    EXPECT_EQ(rl.check("192.0.2.1", ""), Verdict::policy_violation);
}

TEST(RateLimiter, FullTableTakesOverQuietEntries) {
    FakeClock c;
    RateLimiter rl(5, 1, c);
    // More names than slots: a few share a hash, the rest fill the table.
    for (int i = 0; i < 4200; ++i)
        rl.record_attempt("10.0." + std::to_string(i), "");
    ASSERT_EQ(rl.used_address_entries(), RateLimiter::kTableSize);

    // Every entry is busy: a newcomer is neither recorded nor limited.
    rl.record_attempt("newcomer", "");
    EXPECT_EQ(rl.check("newcomer", ""), Verdict::pass);

    // Once the old attempts left the window, a newcomer takes over an entry.
    c.t += 120;
    rl.record_attempt("newcomer", "");
    EXPECT_EQ(rl.check("newcomer", ""), Verdict::policy_violation);
    EXPECT_EQ(rl.used_address_entries(), RateLimiter::kTableSize);
}

TEST(RateLimiter, AccountsWithFailuresOrLocksAreNotTakenOver) {
    FakeClock c;
    RateLimiter rl(1, 20, c);
    std::vector<std::string> names;
    for (int i = 0; i < 4200; ++i) {
        names.push_back("user" + std::to_string(i));
        rl.record_failure(names.back(), "");
    }
    c.t += 3600;
    rl.record_attempt("", "mallory");
    EXPECT_EQ(rl.recent_attempts_for_account("mallory"), 0u);

    // A success makes one entry quiet; the newcomer takes exactly that one.
    rl.record_success(names[0]);
    rl.record_attempt("", "mallory");
    EXPECT_EQ(rl.recent_attempts_for_account("mallory"), 1u);
    EXPECT_EQ(rl.check("", "mallory"), Verdict::policy_violation);
    EXPECT_EQ(rl.failures_for_account(names[1]), 1);
}

TEST(RateLimiter, KeysAreNeverZeroAndSpread) {
    std::set<uint64_t> keys;
    std::set<uint64_t> homes;
    for (int i = 0; i < 4096; ++i) {
        const uint64_t k = rate_key("name" + std::to_string(i));
        EXPECT_NE(k, 0u);
        keys.insert(k);
        homes.insert(k % RateLimiter::kTableSize);
    }
    EXPECT_EQ(keys.size(), 4096u);
    // A uniform hash fills about 1 - 1/e of the home slots.
    EXPECT_GT(homes.size(), 2400u);
    EXPECT_NE(rate_key(""), rate_key(std::string_view("\0", 1)));
    EXPECT_NE(rate_key("alice"), rate_key("Alice"));
}

}  // namespace
}  // namespace fenra::auth
