#include "tests/net/test_certs.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace fenra::test {
namespace {

long g_serial = 1;

void add_ext(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) throw std::runtime_error("extension " + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

s2s::Der digest(const EVP_MD* md, const std::vector<uint8_t>& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &len, md, nullptr);
    return s2s::Der(out, out + len);
}

}  // namespace

s2s::Der TestCert::der() const {
    const int len = i2d_X509(cert.get(), nullptr);
    s2s::Der out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(cert.get(), &p);
    return out;
}

s2s::Der TestCert::spki_der() const {
    X509_PUBKEY* pk = X509_get_X509_PUBKEY(cert.get());
    const int len = i2d_X509_PUBKEY(pk, nullptr);
    s2s::Der out(static_cast<size_t>(len));
    unsigned char* p = out.data();
    i2d_X509_PUBKEY(pk, &p);
    return out;
}

TestCert make_cert(const CertSpec& want, const TestCert* issuer, EVP_PKEY* key) {
    TestCert out;
    if (key) {
        EVP_PKEY_up_ref(key);
        out.key.reset(key);
    } else {
        out.key.reset(EVP_EC_gen("P-256"));
    }
    out.cert.reset(X509_new());
    X509* x = out.cert.get();
    X509_set_version(x, want.v1 ? X509_VERSION_1 : X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x), g_serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), want.not_before_days * 86400);
    X509_gmtime_adj(X509_getm_notAfter(x), want.not_after_days * 86400);
    X509_set_pubkey(x, out.key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(want.common_name.c_str()), -1,
                               -1, 0);
    X509* signer_cert = issuer ? issuer->cert.get() : x;
    EVP_PKEY* signer_key = issuer ? issuer->key.get() : out.key.get();
    X509_set_issuer_name(x, X509_get_subject_name(signer_cert));
    if (!want.v1) {
        add_ext(x, signer_cert, NID_subject_key_identifier, "hash");
        add_ext(x, signer_cert, NID_authority_key_identifier, "keyid:always");
        if (want.ca) {
            add_ext(x, signer_cert, NID_basic_constraints, "critical,CA:TRUE");
            add_ext(x, signer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
        } else {
            add_ext(x, signer_cert, NID_basic_constraints, "CA:FALSE");
            add_ext(x, signer_cert, NID_ext_key_usage, "serverAuth,clientAuth");
        }
        std::string san;
        for (const std::string& n : want.dns_names)
            san += (san.empty() ? "DNS:" : ",DNS:") + n;
        if (!san.empty()) add_ext(x, signer_cert, NID_subject_alt_name, san);
    }
    if (X509_sign(x, signer_key, EVP_sha256()) <= 0) throw std::runtime_error("sign");
    return out;
}

std::vector<uint8_t> sha256(const std::vector<uint8_t>& bytes) {
    return digest(EVP_sha256(), bytes);
}

std::vector<uint8_t> sha512(const std::vector<uint8_t>& bytes) {
    return digest(EVP_sha512(), bytes);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/fenra-net-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    if (DIR* d = opendir(path_.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") unlink((path_ + "/" + n).c_str());
        }
        closedir(d);
    }
    rmdir(path_.c_str());
}

std::string TempDir::write_chain(const std::string& name,
                                 const std::vector<const TestCert*>& certs) {
    const std::string p = path_ + "/" + name;
    FILE* f = fopen(p.c_str(), "w");
    if (!f) throw std::runtime_error("open " + p);
    for (const TestCert* c : certs)
        PEM_write_X509(f, c->cert.get());
    fclose(f);
    return p;
}

std::string TempDir::write_key(const std::string& name, const TestCert& cert) {
    const std::string p = path_ + "/" + name;
    FILE* f = fopen(p.c_str(), "w");
    if (!f) throw std::runtime_error("open " + p);
    PEM_write_PrivateKey(f, cert.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
    return p;
}

SocketPair socket_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    return {fds[0], fds[1]};
}

bool drive_handshake(s2s::TlsConn& client, s2s::TlsConn& server) {
    bool client_done = false;
    bool server_done = false;
    for (int round = 0; round < 100 && !(client_done && server_done); ++round) {
        if (!client_done) {
            auto r = s2s::tls_handshake_step(client);
            if (!r) return false;
            client_done = *r == s2s::TlsPhase::done;
        }
        if (!server_done) {
            auto r = s2s::tls_handshake_step(server);
            if (!r) return false;
            server_done = *r == s2s::TlsPhase::done;
        }
    }
    return client_done && server_done;
}

}  // namespace fenra::test
