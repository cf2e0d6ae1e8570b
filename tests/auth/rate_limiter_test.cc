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
    RateLimiter rl(12, 20, c);
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

TEST(RateLimiter, TheEmptyAddressIsABucketOfItsOwn) {
    FakeClock c;
    RateLimiter rl(5, 3, c);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(request(rl, "", "u" + std::to_string(i)), Verdict::pass);
    EXPECT_EQ(request(rl, "", "fresh"), Verdict::policy_violation);
    EXPECT_EQ(request(rl, "192.0.2.1", "fresh"), Verdict::pass);
    rl.record_failure("", "");
    EXPECT_EQ(rl.failures_for_account(""), 0);  // no account, nothing counted
}

TEST(RateLimiter, KeysNameOnePersonAndOneNetwork) {
    FakeClock c;
    RateLimiter rl(RateLimits{.max_per_account = 3,
                              .max_per_address = 3,
                              .failure_reset_seconds = 900,
                              .user_domain = "chat.example"},
                   c);
    for (const char* name : {"alice", "Alice", "ALICE@Chat.Example"})
        EXPECT_EQ(request(rl, "", name), Verdict::pass) << name;
    EXPECT_EQ(request(rl, "192.0.2.9", "alice@chat.example"), Verdict::policy_violation);
    EXPECT_EQ(rl.account_key("Mallory@evil.example"), rl.account_key("mallory@EVIL.example"));
    EXPECT_NE(rl.account_key("mallory@evil.example"), rl.account_key("mallory"));
    // One /64: three addresses fill its budget; another /64 has its own.
    for (const char* a : {"2001:db8:1:2::1", "2001:db8:1:2:ffff::9", "2001:DB8:1:2::abcd"})
        EXPECT_EQ(request(rl, a, ""), Verdict::pass) << a;
    EXPECT_EQ(request(rl, "2001:db8:1:2:1:2:3:4", ""), Verdict::policy_violation);
    EXPECT_EQ(request(rl, "2001:db8:1:3::1", ""), Verdict::pass);
    EXPECT_EQ(rl.address_key("::ffff:192.0.2.7"), rl.address_key("192.0.2.7"));
    EXPECT_NE(rl.address_key("192.0.2.7"), rl.address_key("192.0.2.8"));
}

TEST(RateLimiter, FailuresDecay) {
    FakeClock c;
    RateLimiter rl(RateLimits{.max_per_account = 5,
                              .max_per_address = 20,
                              .failure_reset_seconds = 900,
                              .user_domain = {}},
                   c);
    for (int i = 0; i < 9; ++i)
        rl.record_failure("kim", "");
    c.t += 899;
    EXPECT_EQ(rl.failures_for_account("kim"), 9);
    c.t += 1;
    EXPECT_EQ(rl.failures_for_account("kim"), 0);
    rl.record_failure("kim", "");
    EXPECT_EQ(rl.failures_for_account("kim"), 1);
    EXPECT_EQ(rl.check("", "kim"), Verdict::pass);
}

TEST(RateLimiter, FailureCreatesAddressEntryWithoutAnAttempt) {
    FakeClock c;
    RateLimiter rl(5, 0, c);
    rl.record_failure("", "192.0.2.1");
    EXPECT_EQ(rl.used_address_entries(), 1u);
    // Max 0 refuses every address that has an entry, even without attempts.
    EXPECT_EQ(rl.check("192.0.2.1", ""), Verdict::policy_violation);
}

// Made-up names fill the tables: the limiter must go on counting, for
// newcomers and for the accounts that were there before.
TEST(RateLimiter, SprayingNamesCannotSwitchItOff) {
    FakeClock c;
    RateLimiter rl(1, 1, c);
    for (int i = 0; i < 9; ++i)
        rl.record_failure("victim", "");
    rl.record_failure("locked", "");
    for (int i = 0; i < 9; ++i)
        rl.record_failure("locked", "");
    for (int i = 0; i < 5000; ++i) {
        c.t += i % 100 == 0 ? 1 : 0;
        rl.record_attempt("10.0." + std::to_string(i), "spray" + std::to_string(i));
        rl.record_failure("spray" + std::to_string(i), "");
        if (i % 100 == 0) rl.record_attempt("", "victim");  // in use: kept
    }
    rl.record_failure("victim", "");
    EXPECT_EQ(rl.failures_for_account("victim"), 10);
    EXPECT_EQ(rl.check_account("victim"), Verdict::account_disabled);
    EXPECT_EQ(rl.check_account("locked"), Verdict::account_disabled);  // locked: never taken
    // A newcomer takes the least recently used entry and is counted.
    EXPECT_EQ(request(rl, "newcomer", "newcomer"), Verdict::pass);
    EXPECT_EQ(rl.check("newcomer", ""), Verdict::policy_violation);
    EXPECT_EQ(rl.check_account("newcomer"), Verdict::policy_violation);
}

TEST(RateLimiter, SipHashReferenceVector) {
    unsigned char key[16];
    std::string msg;
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 15; ++i)
        msg.push_back(static_cast<char>(i));
    EXPECT_EQ(siphash24(key, msg), 0xa129ca6149be45e5ULL);
    EXPECT_EQ(siphash24(key, ""), 0x726fdb47dd0e0e31ULL);
}

TEST(RateLimiter, KeysSpreadAndDifferPerLimiter) {
    FakeClock c;
    RateLimiter one(5, 20, c), two(5, 20, c);
    std::set<uint64_t> homes;
    for (int i = 0; i < 4096; ++i)
        homes.insert(one.account_key("name" + std::to_string(i)) % RateLimiter::kTableSize);
    // A uniform hash fills about 1 - 1/e of the home slots.
    EXPECT_GT(homes.size(), 2400u);
    EXPECT_NE(one.account_key("alice"), two.account_key("alice"));  // random table keys
}

}  // namespace
}  // namespace fenra::auth
