#include "s2s/server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "s2s/net/tls_context.h"

namespace fenra::s2s {
namespace {

TEST(S2sIpv4, DottedQuads) {
    using Quad = std::array<uint8_t, 4>;
    EXPECT_EQ(parse_ipv4("0.0.0.0"), (Quad{0, 0, 0, 0}));
    EXPECT_EQ(parse_ipv4("127.0.0.1"), (Quad{127, 0, 0, 1}));
    EXPECT_EQ(parse_ipv4("255.255.255.255"), (Quad{255, 255, 255, 255}));
    EXPECT_EQ(parse_ipv4("10.020.3.004"), (Quad{10, 20, 3, 4}));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1.2.3.256",
                            "1..3.4", ".1.2.3", "1.2.3.4 ", " 1.2.3.4", "0001.2.3.4", "a.b.c.d",
                            "::1", "1.2.3.-4", "+1.2.3.4", "localhost"})
        EXPECT_FALSE(parse_ipv4(bad)) << bad;
}

TEST(S2sListener, BindsListensAndReportsErrors) {
    auto fd = open_s2s_listener("127.0.0.1", 0);
    ASSERT_TRUE(fd);
    int v = 0;
    socklen_t len = sizeof v;
    ASSERT_EQ(getsockopt(*fd, SOL_SOCKET, SO_ACCEPTCONN, &v, &len), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(getsockopt(*fd, SOL_SOCKET, SO_REUSEADDR, &v, &len), 0);
    EXPECT_EQ(v, 1);
    sockaddr_in sa{};
    len = sizeof sa;
    ASSERT_EQ(getsockname(*fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    const uint16_t port = ntohs(sa.sin_port);

    auto again = open_s2s_listener("127.0.0.1", port);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), Error::AddressInUse);
    close(*fd);

    auto bad = open_s2s_listener("127.0.0", 0);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), Error::InvalidAddress);
}

// A key and a self-signed certificate written as PEM files.
struct KeyFiles {
    std::string dir, cert, key;
    KeyFiles() {
        char tmpl[] = "/tmp/fenra-tls-XXXXXX";
        dir = mkdtemp(tmpl);
        cert = dir + "/cert.pem";
        key = dir + "/key.pem";
        EVP_PKEY* pkey = EVP_EC_gen("P-256");
        X509* x = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("t.example"), -1, -1, 0);
        X509_set_issuer_name(x, X509_get_subject_name(x));
        X509_set_pubkey(x, pkey);
        X509_sign(x, pkey, EVP_sha256());
        FILE* f = fopen(cert.c_str(), "w");
        PEM_write_X509(f, x);
        fclose(f);
        f = fopen(key.c_str(), "w");
        PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
        fclose(f);
        X509_free(x);
        EVP_PKEY_free(pkey);
    }
    ~KeyFiles() {
        unlink(cert.c_str());
        unlink(key.c_str());
        rmdir(dir.c_str());
    }
};

void expect_common_settings(SSL_CTX* ctx) {
    EXPECT_NE(SSL_CTX_get_options(ctx) & SSL_OP_ENABLE_KTLS, 0u);
    EXPECT_EQ(SSL_CTX_get_mode(ctx) & SSL_MODE_ENABLE_PARTIAL_WRITE,
              static_cast<long>(SSL_MODE_ENABLE_PARTIAL_WRITE));
    EXPECT_EQ(SSL_CTX_get_mode(ctx) & SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER,
              static_cast<long>(SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER));
}

TEST(S2sTlsContext, ServerSettings) {
    KeyFiles a;
    auto ctx = create_server_tls_context(a.cert, a.key);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(SSL_CTX_get_verify_mode(*ctx), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_verify_callback(*ctx), &accept_any_certificate);
    EXPECT_NE(SSL_CTX_get0_certificate(*ctx), nullptr);
    expect_common_settings(*ctx);
    SSL_CTX_free(*ctx);
    EXPECT_EQ(accept_any_certificate(0, nullptr), 1);
}

TEST(S2sTlsContext, ClientSettings) {
    KeyFiles a;
    auto bare = create_client_tls_context(std::nullopt, std::nullopt);
    ASSERT_TRUE(bare);
    EXPECT_EQ(SSL_CTX_get_verify_mode(*bare), SSL_VERIFY_NONE);
    EXPECT_EQ(SSL_CTX_get_verify_callback(*bare), nullptr);
    EXPECT_EQ(SSL_CTX_get0_certificate(*bare), nullptr);
    expect_common_settings(*bare);
    SSL_CTX_free(*bare);

    auto own = create_client_tls_context(a.cert, a.key);
    ASSERT_TRUE(own);
    EXPECT_NE(SSL_CTX_get0_certificate(*own), nullptr);
    SSL_CTX_free(*own);
}

TEST(S2sTlsContext, ErrorsByFirstFailingStep) {
    KeyFiles a, b;
    const std::string missing = a.dir + "/missing.pem";
    auto e = [](Result<SSL_CTX*> r) {
        if (r) SSL_CTX_free(*r);
        return r ? Error::Unexpected : r.error();
    };
    EXPECT_EQ(e(create_server_tls_context(missing, a.key)), Error::CertLoadFailed);
    EXPECT_EQ(e(create_server_tls_context(a.key, a.key)), Error::CertLoadFailed);
    EXPECT_EQ(e(create_server_tls_context(a.cert, missing)), Error::KeyLoadFailed);
    EXPECT_EQ(e(create_server_tls_context(a.cert, a.cert)), Error::KeyLoadFailed);
    EXPECT_EQ(e(create_server_tls_context(a.cert, b.key)), Error::KeyMismatch);
    EXPECT_EQ(e(create_client_tls_context(missing, std::nullopt)), Error::CertLoadFailed);
    EXPECT_EQ(e(create_client_tls_context(a.cert, b.key)), Error::KeyMismatch);
    EXPECT_EQ(e(create_client_tls_context(std::nullopt, a.key)), Error::KeyMismatch);
    EXPECT_EQ(e(create_client_tls_context(std::nullopt, missing)), Error::KeyLoadFailed);
    // A certificate without a key is fine for the client context.
    EXPECT_EQ(e(create_client_tls_context(a.cert, std::nullopt)), Error::Unexpected);
}

}  // namespace
}  // namespace fenra::s2s
