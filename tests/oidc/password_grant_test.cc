#include "auth/oidc/password_grant.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "auth/oidc/oidc_backend.h"
#include "runtime/log.h"

namespace fenra::oidc {
namespace {

OidcConfig config(std::optional<std::string_view> domain = std::nullopt) {
    OidcConfig c;
    c.issuer = "https://idp.example";
    c.client_id = "fenra xmpp";
    c.client_secret = "s3&cret=+";
    c.token_endpoint = "https://idp.example:8443/token";
    c.jwks_uri = "https://idp.example:8443/jwks";
    c.ca_file = "/tmp/ca.pem";
    c.user_domain = domain;
    return c;
}

std::string form(const OidcConfig& c, std::string_view user, std::string_view pass) {
    char buf[kFormBodyCap];
    size_t n = build_password_form(buf, sizeof buf, c, user, pass);
    return std::string(buf, n);
}

TEST(PasswordForm, ExactBody) {
    EXPECT_EQ(form(config(), "alice", "a&b=c+d e"),
              "grant_type=password&client_id=fenra%20xmpp&client_secret=s3%26cret%3D%2B"
              "&username=alice&password=a%26b%3Dc%2Bd%20e&scope=openid%20email%20profile");
}

TEST(PasswordForm, UserDomain) {
    EXPECT_EQ(form(config("chat.example"), "alice", "p"),
              "grant_type=password&client_id=fenra%20xmpp&client_secret=s3%26cret%3D%2B"
              "&username=alice%40chat.example&password=p&scope=openid%20email%20profile");
    // A name that has its own "@" keeps it, encoded, and gets no domain.
    EXPECT_EQ(form(config("chat.example"), "bob@other.example", "p"),
              "grant_type=password&client_id=fenra%20xmpp&client_secret=s3%26cret%3D%2B"
              "&username=bob%40other.example&password=p&scope=openid%20email%20profile");
    EXPECT_EQ(form(config(), "bob@other.example", "p"),
              form(config("chat.example"), "bob@other.example", "p"));
    // The domain is encoded too.
    EXPECT_NE(form(config("a b"), "c", "p").find("&username=c%40a%20b&"), std::string::npos);
}

TEST(PasswordForm, BodyThatDoesNotFitIsRefused) {
    std::string fixed = form(config(), "", "");
    // The password takes the rest of the buffer: one byte more does not fit.
    std::string pass(kFormBodyCap - fixed.size(), 'p');
    EXPECT_EQ(form(config(), "", pass).size(), kFormBodyCap);
    pass.push_back('p');
    EXPECT_EQ(form(config(), "", pass), "");
    // Encoding triples a byte.
    std::string spaces((kFormBodyCap - fixed.size()) / 3 + 1, ' ');
    EXPECT_EQ(form(config(), "", spaces), "");
}

// Captures log lines in a temporary file while alive.
class LogCapture {
  public:
    LogCapture() : f_(std::tmpfile()) { log::set_output_fd(fileno(f_)); }
    ~LogCapture() {
        log::set_output_fd(2);
        std::fclose(f_);
    }
    std::string text() {
        std::string out;
        char buf[4096];
        std::rewind(f_);
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0)
            out.append(buf, n);
        return out;
    }

  private:
    FILE* f_;
};

struct Call {
    std::string method, url, body, type, ca;
};

// A transport that records its calls and answers a fixed status or error.
HttpsCall scripted(std::vector<Call>& calls, Result<uint16_t> answer) {
    return
        [&calls, answer](std::string_view method, std::string_view url,
                         std::optional<std::string_view> body, std::optional<std::string_view> type,
                         std::optional<std::string_view> ca) -> Result<HttpsResponse> {
            calls.push_back({std::string(method), std::string(url), std::string(body.value_or("")),
                             std::string(type.value_or("")), std::string(ca.value_or(""))});
            if (!answer) return answer.error();
            HttpsResponse r;
            r.status = *answer;
            return r;
        };
}

// The outcome the backend hands on (a scripted transport answers at once).
Outcome check(OidcBackend& backend, std::string_view user, std::string_view password) {
    std::optional<Outcome> out;
    backend.check_password(user, password, [&out](Outcome o) { out = o; });
    EXPECT_TRUE(out);
    return out.value_or(Outcome::unavailable);
}

class PasswordGrant : public ::testing::Test {
  protected:
    OidcConfig cfg = config("chat.example");
    OidcBackend backend{cfg};
    std::vector<Call> calls;
    LogCapture log;

    void expect_no_secret_logged() {
        std::string t = log.text();
        EXPECT_EQ(t.find("s3&cret"), std::string::npos) << t;
        EXPECT_EQ(t.find("hunter2"), std::string::npos) << t;
    }
};

TEST_F(PasswordGrant, Status200Accepts) {
    backend.set_transport(scripted(calls, uint16_t{200}));
    EXPECT_EQ(check(backend, "alice", "hunter2 &"), Outcome::accepted);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, "POST");
    EXPECT_EQ(calls[0].url, "https://idp.example:8443/token");
    EXPECT_EQ(calls[0].type, "application/x-www-form-urlencoded");
    EXPECT_EQ(calls[0].ca, "/tmp/ca.pem");
    EXPECT_NE(calls[0].body.find("&username=alice%40chat.example&password=hunter2%20%26&"),
              std::string::npos);
    std::string t = log.text();
    EXPECT_NE(t.find(" info(oidc_store): ROPC: password validated for 'alice'\n"),
              std::string::npos)
        << t;
    expect_no_secret_logged();
}

TEST_F(PasswordGrant, OtherStatusesRejectOrLeaveItUnchecked) {
    for (uint16_t status : {201, 204, 302, 400, 401, 500, 503, 599}) {
        backend.set_transport(scripted(calls, status));
        EXPECT_EQ(check(backend, "alice", "hunter2"),
                  status >= 500 ? Outcome::unavailable : Outcome::rejected)
            << status;
        std::string line =
            "ROPC: token endpoint returned " + std::to_string(status) + " for user 'alice'\n";
        EXPECT_NE(log.text().find(" info(oidc_store): " + line), std::string::npos) << status;
    }
    expect_no_secret_logged();
}

TEST_F(PasswordGrant, TransportErrorIsUnavailableWithErrorLine) {
    backend.set_transport(scripted(calls, Error::TlsHandshakeFailed));
    EXPECT_EQ(check(backend, "alice", "hunter2"), Outcome::unavailable);
    EXPECT_NE(log.text().find(
                  " error(oidc_store): ROPC: HTTP request failed: error.TlsHandshakeFailed\n"),
              std::string::npos);
    expect_no_secret_logged();
}

TEST_F(PasswordGrant, OversizedBodyMakesNoRequest) {
    backend.set_transport(scripted(calls, uint16_t{200}));
    EXPECT_EQ(check(backend, "alice", std::string(kFormBodyCap, 'x')), Outcome::rejected);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(log.text(), "");
}

}  // namespace
}  // namespace fenra::oidc
