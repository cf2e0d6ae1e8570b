#include <gtest/gtest.h>

#include <string>

#include "auth/oidc/https_client.h"

namespace fenra::oidc {
namespace {

static_assert(HttpsBounds{}.phase_ms == 10000 && HttpsBounds{}.total_ms == 30000);

TEST(SplitUrl, SchemeMustBeLowerCaseHttpsWithAHost) {
    EXPECT_EQ(split_url("http://idp.example/token").error(), Error::InvalidUrl);
    EXPECT_EQ(split_url("HTTPS://idp.example/token").error(), Error::InvalidUrl);
    EXPECT_EQ(split_url("https://").error(), Error::InvalidUrl);
    EXPECT_EQ(split_url("https:/").error(), Error::InvalidUrl);
    EXPECT_EQ(split_url("").error(), Error::InvalidUrl);
    EXPECT_EQ(split_url("https:///path").error(), Error::InvalidUrl);
    EXPECT_EQ(split_url("https://:8443/path").error(), Error::InvalidUrl);
}

TEST(SplitUrl, BareHostGetsRootPathAndPort443) {
    auto u = split_url("https://idp.example");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->host, "idp.example");
    EXPECT_EQ(u->port, 443);
    EXPECT_EQ(u->path, "/");
}

TEST(SplitUrl, PortPathAndQueryAreKept) {
    auto u = split_url("https://idp.example:8443/realms/x/token?a=1&b=:2#f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->host, "idp.example");
    EXPECT_EQ(u->port, 8443);
    EXPECT_EQ(u->path, "/realms/x/token?a=1&b=:2#f");
}

TEST(SplitUrl, PortThatDoesNotParseIs443) {
    for (const char* url : {"https://idp.example:abc/t", "https://idp.example:/t",
                            "https://idp.example:65536/t", "https://idp.example:99999999999/t"}) {
        auto u = split_url(url);
        ASSERT_TRUE(u) << url;
        EXPECT_EQ(u->host, "idp.example") << url;
        EXPECT_EQ(u->port, 443) << url;
    }
    auto last = split_url("https://a:b:8080");  // split at the last ":"
    ASSERT_TRUE(last);
    EXPECT_EQ(last->host, "a:b");
    EXPECT_EQ(last->port, 8080);
}

TEST(SplitUrl, HostLengthLimit) {
    std::string host(255, 'h');
    auto ok = split_url("https://" + host + "/p");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->host.size(), 255u);
    EXPECT_EQ(split_url("https://" + host + "h/p").error(), Error::ConnectionFailed);
    EXPECT_EQ(split_url(std::string("https://a\0b/p", 13)).error(), Error::InvalidUrl);
}

TEST(ParseResponse, StatusAndBody) {
    auto r = parse_response("HTTP/1.0 404 Not Found\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(r->body, "");

    auto b = parse_response("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}\r\n\r\nmore");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->status, 200);
    EXPECT_EQ(b->body, "{}\r\n\r\nmore");  // Content-Length is not interpreted

    auto chunked =
        parse_response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n");
    ASSERT_TRUE(chunked);
    EXPECT_EQ(chunked->body, "2\r\n{}\r\n0\r\n\r\n");

    auto minor = parse_response("HTTP/1.x 201 \r\n\r\n");  // the minor version is not checked
    ASSERT_TRUE(minor);
    EXPECT_EQ(minor->status, 201);
}

TEST(ParseResponse, MalformedResponsesAreInvalid) {
    for (const char* raw :
         {"", "HTTP/1.1 200", "HTTP/2.0 200 OK\r\n\r\n", "HTTP/1.1  200 OK\r\n\r\n",
          "HTTP/1.1 2x0 OK\r\n\r\n", "http/1.1 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nServer: x\r\n",
          "HTTP/1.1 200 OK\n\n{}"}) {
        auto r = parse_response(raw);
        ASSERT_FALSE(r) << raw;
        EXPECT_EQ(r.error(), Error::InvalidResponse) << raw;
    }
}

TEST(ParseResponse, FullBufferIsParsedAsTruncated) {
    std::string head = "HTTP/1.1 200 OK\r\n\r\n";
    std::string raw = head + std::string(kMaxResponse - head.size(), 'x');
    auto r = parse_response(raw);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.size(), kMaxResponse - head.size());
}

}  // namespace
}  // namespace fenra::oidc
