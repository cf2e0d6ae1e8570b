// Certificates and TLS endpoints made at test time: a CA, leaf certificates
// (issued or self-signed, current or expired, with DNS names), PEM files for
// the daemon's context loaders, and a pair of connected non-blocking sockets
// with a TLS handshake driven on one thread.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "s2s/net/tls.h"

namespace fenra::test {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

struct CertSpec {
    std::string common_name;
    std::vector<std::string> dns_names;  // subjectAltName dNSName entries
    bool ca = false;
    long not_before_days = -1;  // relative to now
    long not_after_days = 30;
    bool v1 = false;  // no version field and no extensions

    static CertSpec leaf(std::string cn, std::vector<std::string> names = {}) {
        CertSpec s;
        s.common_name = std::move(cn);
        s.dns_names = std::move(names);
        return s;
    }
    static CertSpec authority(std::string cn) {
        CertSpec s;
        s.common_name = std::move(cn);
        s.ca = true;
        return s;
    }
    CertSpec& valid_days(long from, long to) {
        not_before_days = from;
        not_after_days = to;
        return *this;
    }
    CertSpec& version1() {
        v1 = true;
        return *this;
    }
};

struct TestCert {
    PkeyPtr key;
    X509Ptr cert;

    s2s::Der der() const;
    s2s::Der spki_der() const;
};

// Issued by ISSUER, or self-signed when it is null. A new key unless KEY is
// given (then the certificate reuses that key).
TestCert make_cert(const CertSpec& want, const TestCert* issuer, EVP_PKEY* key = nullptr);

std::vector<uint8_t> sha256(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> sha512(const std::vector<uint8_t>& bytes);

// A fresh directory under /tmp, removed with its files on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes the certificates (first one first) as one PEM file; returns its path.
    std::string write_chain(const std::string& name, const std::vector<const TestCert*>& certs);
    std::string write_key(const std::string& name, const TestCert& cert);

  private:
    std::string path_;
};

// A connection record on FD, no TLS yet.
inline s2s::TlsConn conn_on(int fd) {
    s2s::TlsConn c;
    c.fd = fd;
    return c;
}

// Two connected non-blocking stream sockets (AF_UNIX socketpair).
struct SocketPair {
    int a = -1;
    int b = -1;
};
SocketPair socket_pair();

// Steps both handshakes in turn until both are done or one fails (or no
// progress after many rounds). True when both completed.
bool drive_handshake(s2s::TlsConn& client, s2s::TlsConn& server);

}  // namespace fenra::test
