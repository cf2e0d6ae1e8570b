#include "auth/sasl_handler.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "auth/login_queue.h"
#include "tests/auth/log_capture.h"

namespace fenra::auth {
namespace {

using namespace std::string_literals;
using testutil::LogCapture;

std::string plain(std::string_view authz, std::string_view user, std::string_view pass) {
    std::string s(authz);
    s += '\0';
    s += user;
    s += '\0';
    s += pass;
    return s;
}

TEST(ParsePlain, Forms) {
    const std::string m1 = plain("", "alice", "pw");
    auto c = parse_plain(m1);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->authzid, "");
    EXPECT_EQ(c->username, "alice");
    EXPECT_EQ(c->password, "pw");

    const std::string m2 = plain("admin", "bob", "a\0b\0"s);
    c = parse_plain(m2);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->authzid, "admin");
    EXPECT_EQ(c->username, "bob");
    EXPECT_EQ(c->password, "a\0b\0"s);  // NUL bytes belong to the password

    const std::string m3 = "\0\0secret"s;  // two NULs first: an empty username
    c = parse_plain(m3);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->username, "");
    EXPECT_EQ(c->password, "secret");
}

TEST(ParsePlain, Malformed) {
    for (const std::string& m :
         {""s, "alice"s, "\0"s, "x\0"s, "\0alice"s, "\0alice\0"s, "authz\0alice\0"s, "\0\0"s}) {
        EXPECT_FALSE(parse_plain(m)) << ::testing::PrintToString(m);
    }
}

TEST(ExtractBearerToken, Forms) {
    EXPECT_EQ(extract_bearer_token("n,,\x01"
                                   "auth=Bearer tok123\x01\x01")
                  .value_or("?"),
              "tok123");
    EXPECT_EQ(extract_bearer_token("n,a=u,\x01host=h\x01port=5\x01"
                                   "auth=Bearer abc")
                  .value_or("?"),
              "abc");
    EXPECT_EQ(extract_bearer_token("eyJ.eyJ.sig").value_or("?"), "eyJ.eyJ.sig");
    // Case matters and the blank is part of the key: otherwise a bare token.
    EXPECT_EQ(extract_bearer_token("n,,\x01"
                                   "auth=bearer x\x01\x01")
                  .value_or("?"),
              "n,,\x01"
              "auth=bearer x\x01\x01");
    EXPECT_EQ(extract_bearer_token("auth=Bearer  two").value_or("?"), " two");
    EXPECT_EQ(extract_bearer_token("auth=Bearer a auth=Bearer b").value_or("?"), "a auth=Bearer b");
    EXPECT_FALSE(extract_bearer_token(""));
    EXPECT_FALSE(
        extract_bearer_token("n,,\x01"
                             "auth=Bearer \x01\x01"));
    EXPECT_FALSE(extract_bearer_token("auth=Bearer "));
}

// A provider that judges at once, or, with hold set, when the test says so.
class FakeChecker : public CredentialChecker {
  public:
    uint64_t check_password(std::string_view username, std::string_view password,
                            std::function<void(Outcome)> done) override {
        passwords.emplace_back(std::string(username) + ":" + std::string(password));
        const Outcome o = password == "down"    ? Outcome::unavailable
                          : password == "right" ? Outcome::accepted
                                                : Outcome::rejected;
        return later([o, done] { done(o); });
    }
    uint64_t check_token(std::string_view token,
                         std::function<void(const TokenAnswer&)> done) override {
        tokens.emplace_back(token);
        TokenAnswer a;
        if (token == "down") a.outcome = Outcome::unavailable;
        if (token == "good")
            a = {.outcome = Outcome::accepted,
                 .identity = {.username = "tokenuser", .picture = "https://pic"}};
        return later([a, done] { done(a); });
    }
    void cancel_password(uint64_t check) override { held.erase(check); }
    void cancel_token(uint64_t check) override { held.erase(check); }
    // Ends the held check that number names.
    void answer(uint64_t check) {
        auto f = std::move(held.at(check));
        held.erase(check);
        f();
    }

    std::vector<std::string> passwords;
    std::vector<std::string> tokens;
    bool hold = false;
    std::map<uint64_t, std::function<void()>> held;
    uint64_t last = 0;

  private:
    uint64_t later(std::function<void()> f) {
        if (!hold) {
            f();
            return 0;
        }
        held.emplace(++last, std::move(f));
        return last;
    }
};

// An answer with its own copies of the strings.
struct Answer {
    bool success = false;
    std::string username, third, condition;
};

Answer copy_of(const AuthAnswer& a) {
    return {a.success, std::string(a.username), std::string(a.third), std::string(a.condition)};
}

Answer answer_of(SaslHandler& handler, const AuthRequest& req) {
    Answer out{.success = false, .username = {}, .third = {}, .condition = "unanswered"};
    handler.handle(req, [&out](const AuthAnswer& a) { out = copy_of(a); });
    return out;
}

struct FakeClock : Clock {
    uint32_t t = 1'800'000'000;
    uint32_t now() const override { return t; }
};

class SaslHandlerTest : public ::testing::Test {
  protected:
    Answer run(uint8_t mech, std::string_view address, std::string_view account,
               std::string_view initial) {
        last_initial_ = std::string(initial);
        return answer_of(handler_, AuthRequest{.id = 7,
                                               .mechanism = mech,
                                               .address = address,
                                               .account = account,
                                               .initial = last_initial_});
    }
    Answer run_plain(std::string_view address, std::string_view account, std::string_view user,
                     std::string_view pass) {
        return run(1, address, account, plain("", user, pass));
    }

    // n wrong passwords, 30 s apart so that no rate limit trips.
    void fail_spaced(std::string_view account, std::string_view user, int n) {
        for (int i = 0; i < n; ++i) {
            clock_.t += 30;
            ASSERT_EQ(run_plain("10.0.0.6", account, user, "wrong").condition, "not-authorized")
                << i;
        }
    }
    // The right password is refused without asking the provider.
    void expect_locked(std::string_view account, std::string_view user) {
        clock_.t += 30;
        const size_t asked = checker_.passwords.size();
        LogCapture log;
        EXPECT_EQ(run_plain("10.0.0.6", account, user, "right").condition, "account-disabled");
        EXPECT_EQ(checker_.passwords.size(), asked);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.lines()[0].starts_with(
            "info(rate_limiter): account temporarily locked: " + std::string(user) + " (until "));
    }

    FakeClock clock_;
    RateLimiter limiter_{5, 20, clock_};
    FakeChecker checker_;
    SaslHandler handler_{limiter_, checker_};
    std::string last_initial_;
};

TEST_F(SaslHandlerTest, PlainSuccess) {
    LogCapture log;
    const auto a = run_plain("10.0.0.1", "alice", "alice", "right");
    EXPECT_TRUE(a.success);
    EXPECT_EQ(a.username, "alice");
    EXPECT_EQ(a.third, "");
    EXPECT_EQ(checker_.passwords, std::vector<std::string>{"alice:right"});
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"info(auth_handler): PLAIN auth success (IdP): 'alice'"});
    EXPECT_EQ(limiter_.recent_attempts_for_account("alice"), 1u);  // counted once
}

TEST_F(SaslHandlerTest, PlainFailureRecordsUnderAuthenticationIdentity) {
    LogCapture log;
    const auto a = run_plain("10.0.0.1", "alice", "alice", "wrong");
    EXPECT_FALSE(a.success);
    EXPECT_EQ(a.condition, "not-authorized");
    EXPECT_EQ(limiter_.failures_for_account("alice"), 1);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"info(auth_handler): PLAIN auth failed (IdP): 'alice'"});
    EXPECT_EQ(log.text().find("wrong"), std::string::npos);

    // A success afterwards clears the count.
    EXPECT_TRUE(run_plain("10.0.0.1", "alice", "alice", "right").success);
    EXPECT_EQ(limiter_.failures_for_account("alice"), 0);
}

TEST_F(SaslHandlerTest, PlainInvalidEncoding) {
    LogCapture log;
    for (const std::string& m : {""s, "alice"s, "\0alice"s, "\0alice\0"s}) {
        const auto a = run(1, "10.0.0.2", "", m);
        EXPECT_EQ(a.condition, "invalid-encoding");
    }
    EXPECT_TRUE(checker_.passwords.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SaslHandlerTest, PlainNamesAreNormalisedOrRefused) {
    const struct {
        std::string_view user, want;
    } cases[] = {
        {"ALICE", "alice"},
        {"Alice@Chat.Example", "alice"},
        {"alice@evil.example", "not-authorized"},
        {"a@b@chat.example", "not-authorized"},
        {"al ice", "not-authorized"},
        {"", "not-authorized"},
    };
    SaslHandler handler(limiter_, checker_, "chat.example");
    for (const auto& c : cases) {
        const std::string m = plain("", c.user, "right");
        const auto a = answer_of(
            handler,
            AuthRequest{
                .id = 1, .mechanism = 1, .address = "10.0.0.9", .account = "", .initial = m});
        EXPECT_EQ(a.success ? a.username : a.condition, c.want) << c.user;
    }
    // Only the two good names reached the provider, normalised.
    EXPECT_EQ(checker_.passwords, (std::vector<std::string>{"alice:right", "alice:right"}));
}

TEST_F(SaslHandlerTest, ProviderOutagesAreTemporaryAndCountNoFailure) {
    for (int i = 0; i < 4; ++i) {
        clock_.t += 60;
        EXPECT_EQ(run_plain("10.0.0.7", "", "kim", "down").condition, "temporary-auth-failure");
        EXPECT_EQ(run(3, "10.0.0.7", "kim", "down").condition, "temporary-auth-failure");
    }
    EXPECT_EQ(limiter_.failures_for_account("kim"), 0);
}

TEST_F(SaslHandlerTest, ScramIsRefusedButCounted) {
    LogCapture log;
    const auto a = run(2, "10.0.0.3", "bob", "n,,n=bob,r=abc");
    EXPECT_EQ(a.condition, "mechanism-not-supported");
    EXPECT_EQ(limiter_.recent_attempts_for_account("bob"), 1u);
    EXPECT_EQ(limiter_.failures_for_account("bob"), 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SaslHandlerTest, OauthBearer) {
    LogCapture log;
    auto a = run(3, "10.0.0.4", "acct",
                 "n,,\x01"
                 "auth=Bearer good\x01\x01");
    EXPECT_TRUE(a.success);
    EXPECT_EQ(a.username, "tokenuser");
    EXPECT_EQ(a.third, "https://pic");
    EXPECT_EQ(limiter_.failures_for_account("tokenuser"), 0);

    a = run(3, "10.0.0.4", "acct", "bare-bad");
    EXPECT_EQ(a.condition, "not-authorized");
    EXPECT_EQ(limiter_.failures_for_account("acct"), 1);  // under the account field

    a = run(3, "10.0.0.4", "acct",
            "n,,\x01"
            "auth=Bearer \x01\x01");
    EXPECT_EQ(a.condition, "invalid-encoding");
    a = run(3, "10.0.0.4", "acct", "");
    EXPECT_EQ(a.condition, "invalid-encoding");

    EXPECT_EQ(checker_.tokens, (std::vector<std::string>{"good", "bare-bad"}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "info(auth_handler): OAUTHBEARER auth success: 'tokenuser'",
                               "info(auth_handler): OAUTHBEARER auth failed",
                           }));
}

TEST_F(SaslHandlerTest, SixthQuickRequestIsRefusedWithoutCounting) {
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(run(2, "10.0.0.5", "carol", "").condition, "mechanism-not-supported");
    LogCapture log;
    const auto a = run_plain("10.0.0.5", "carol", "carol", "right");
    EXPECT_EQ(a.condition, "policy-violation");
    EXPECT_TRUE(checker_.passwords.empty());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"info(rate_limiter): rate limited by account: carol"});
    EXPECT_EQ(limiter_.recent_attempts_for_account("carol"), 5u);
}

TEST_F(SaslHandlerTest, TwentyFromOneAddressThenRefused) {
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(run(2, "192.0.2.50", "u" + std::to_string(i), "").condition,
                  "mechanism-not-supported");
    EXPECT_EQ(run(2, "192.0.2.50", "other", "").condition, "policy-violation");
}

TEST_F(SaslHandlerTest, LockedAccountIsDisabled) {
    fail_spaced("dave", "dave", 10);
    expect_locked("dave", "dave");
}

// The account field may be empty or differ from the PLAIN identity: that
// identity is locked out and rate limited all the same.
TEST_F(SaslHandlerTest, PlainLockOutWithEmptyAccountField) {
    fail_spaced("", "erin", 10);
    EXPECT_EQ(limiter_.failures_for_account("erin"), 10);
    expect_locked("", "erin");
    // Another account field does not get around it either.
    EXPECT_EQ(run_plain("10.0.0.8", "someone", "erin", "right").condition, "account-disabled");
}

TEST_F(SaslHandlerTest, PlainIdentityRateLimitWithEmptyAccountField) {
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(run_plain("", "", "frank", "wrong").condition, "not-authorized");
    LogCapture log;
    EXPECT_EQ(run_plain("", "", "frank", "right").condition, "policy-violation");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"info(rate_limiter): rate limited by account: frank"});
    EXPECT_EQ(checker_.passwords.size(), 5u);
}

TEST_F(SaslHandlerTest, SameAccountFieldIsCountedOnce) {
    ASSERT_TRUE(run_plain("", "grace", "grace", "right").success);
    EXPECT_EQ(limiter_.recent_attempts_for_account("grace"), 1u);
    ASSERT_TRUE(run_plain("", "other", "grace", "right").success);
    EXPECT_EQ(limiter_.recent_attempts_for_account("grace"), 2u);
    EXPECT_EQ(limiter_.recent_attempts_for_account("other"), 1u);
}

// Logins the provider holds: answers as they end, one grant per account at a
// time, room for two; a replaced login and a closed slot leave no answer and
// no check behind.
TEST_F(SaslHandlerTest, LoginQueue) {
    checker_.hold = true;
    std::vector<std::string> sent;
    LoginQueue q(handler_, 2, [&sent](int slot, uint32_t id, const AuthAnswer& a) {
        sent.push_back(std::to_string(slot) + "/" + std::to_string(id) + " " +
                       std::string(a.success ? a.username : a.condition));
    });
    auto submit = [&q](int slot, uint32_t id, uint8_t mech, const std::string& message) {
        q.submit(slot, AuthRequest{.id = id,
                                   .mechanism = mech,
                                   .address = "10.0.0.1",
                                   .account = "",
                                   .initial = std::string(message)});
    };
    submit(0, 1, 1, plain("", "alice", "right"));  // check 1
    submit(0, 2, 1, plain("", "Alice", "wrong"));  // waits for alice's grant
    submit(1, 1, 1, plain("", "bob", "right"));    // check 2
    submit(1, 2, 1, plain("", "carol", "right"));  // waits for room
    EXPECT_EQ(q.running(), 2u);
    EXPECT_EQ(q.waiting(), 2u);
    checker_.answer(2);  // carol goes before alice's second login: check 3
    checker_.answer(1);  // now alice's second: check 4
    EXPECT_EQ(checker_.passwords,
              (std::vector<std::string>{"alice:right", "bob:right", "carol:right", "alice:wrong"}));
    q.drop_slot(0);           // check 4 dropped
    submit(1, 2, 3, "good");  // replaces carol's (check 3): check 5
    EXPECT_EQ(checker_.held.size(), 1u);
    checker_.answer(5);
    EXPECT_EQ(sent, (std::vector<std::string>{"1/1 bob", "0/1 alice", "1/2 tokenuser"}));
    EXPECT_EQ(q.running() + q.waiting(), 0u);
    EXPECT_EQ(limiter_.failures_for_account("alice"), 0);
}

}  // namespace
}  // namespace fenra::auth
