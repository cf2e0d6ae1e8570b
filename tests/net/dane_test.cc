#include "s2s/net/dane.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "s2s/net/tls_context.h"
#include "tests/net/test_certs.h"

namespace fenra::s2s {
namespace {

using test::CertSpec;
using test::TestCert;
using Bytes = std::vector<uint8_t>;

TlsaRecord rec(uint8_t usage, uint8_t selector, uint8_t mtype, Bytes data) {
    return TlsaRecord{std::move(data), usage, selector, mtype};
}

// The association data of CERT for a selector and matching type.
Bytes assoc(const TestCert& cert, uint8_t selector, uint8_t mtype) {
    const Bytes selected = selector == 0 ? cert.der() : cert.spki_der();
    if (mtype == 1) return test::sha256(selected);
    if (mtype == 2) return test::sha512(selected);
    return selected;
}

TEST(DaneTlsaUse, OnlySecureChainsGiveUsableRecords) {
    using S = DnsSecurity;
    using O = DnsOutcome;
    const struct {
        S srv, tlsa;
        O outcome;
        DaneTlsa want;
    } cases[] = {
        {S::secure, S::secure, O::records, DaneTlsa::usable},
        {S::secure, S::secure, O::no_data, DaneTlsa::none},
        {S::secure, S::secure, O::nxdomain, DaneTlsa::none},
        {S::secure, S::insecure, O::records, DaneTlsa::none},
        {S::secure, S::insecure, O::failed, DaneTlsa::failed},  // time-out, server failure
        {S::secure, S::bogus, O::failed, DaneTlsa::failed},
        {S::insecure, S::secure, O::records, DaneTlsa::none},
        {S::insecure, S::bogus, O::failed, DaneTlsa::none},
        {S::bogus, S::secure, O::records, DaneTlsa::failed},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dane_tlsa_use(c.srv, c.tlsa, c.outcome), c.want)
            << dns_security_name(c.srv) << " " << dns_security_name(c.tlsa) << " "
            << dns_outcome_name(c.outcome);
    EXPECT_TRUE(dane_tlsa_wanted(S::secure));
    EXPECT_FALSE(dane_tlsa_wanted(S::insecure));
    EXPECT_FALSE(dane_tlsa_wanted(S::bogus));
}

TEST(SpkiWalk, FindsTheSubjectPublicKeyInfo) {
    const TestCert v3 = test::make_cert(CertSpec::leaf("a.test", {"a.test"}), nullptr);
    const TestCert v1 = test::make_cert(CertSpec::leaf("a.test").version1(), nullptr);
    for (const TestCert* c : {&v3, &v1}) {
        const Bytes der = c->der();
        auto spki = find_spki(der);
        ASSERT_TRUE(spki);
        EXPECT_EQ(Bytes(spki->begin(), spki->end()), c->spki_der());
    }
}

TEST(SpkiWalk, BrokenCertificatesFallBackToTheWholeCertificate) {
    const TestCert c = test::make_cert(CertSpec::leaf("a.test"), nullptr);
    const Bytes der = c.der();
    Bytes truncated(der.begin(), der.begin() + der.size() / 2);
    Bytes five_length_bytes = der;
    five_length_bytes[1] = 0x85;
    Bytes garbled_tbs = der;
    garbled_tbs[5] = 0xff;  // an inner length far beyond the certificate
    for (const Bytes* b : {&truncated, &five_length_bytes, &garbled_tbs}) {
        EXPECT_FALSE(find_spki(*b));
        auto sel = dane_selected_bytes(*b, 1);
        EXPECT_EQ(sel.data(), b->data());
        EXPECT_EQ(sel.size(), b->size());
    }
    EXPECT_FALSE(find_spki(Bytes{0x30}));
    EXPECT_FALSE(find_spki(Bytes{}));
    // A selector-1 record then matches the digest of the whole certificate.
    const std::vector<TlsaRecord> records{rec(3, 1, 1, test::sha256(truncated))};
    EXPECT_EQ(dane_match(truncated, {}, records, "a.test"), DaneResult::verified);
}

class DaneMatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ca_ = test::make_cert(CertSpec::authority("Test CA"), nullptr);
        ee_ = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &ca_);
        other_ = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &ca_);
    }

    DaneResult match(const std::vector<TlsaRecord>& records, const TestCert& ee,
                     std::vector<const TestCert*> chain, std::string_view domain = "b.test") {
        std::vector<Der> ders;
        for (const TestCert* c : chain)
            ders.push_back(c->der());
        return dane_match(ee.der(), ders, records, domain);
    }

    TestCert ca_;
    TestCert ee_;
    TestCert other_;
};

TEST_F(DaneMatch, EndEntityRecords) {
    EXPECT_EQ(match({rec(3, 1, 1, assoc(ee_, 1, 1))}, ee_, {&ee_, &ca_}), DaneResult::verified);
    EXPECT_EQ(match({rec(3, 0, 1, assoc(ee_, 0, 1))}, ee_, {}), DaneResult::verified);
    EXPECT_EQ(match({rec(3, 0, 1, assoc(other_, 0, 1))}, ee_, {&ee_}), DaneResult::mismatch);
    // A renewed certificate with the same key still matches 3 1 1.
    const TestCert renewed =
        test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &ca_, ee_.key.get());
    EXPECT_EQ(match({rec(3, 1, 1, assoc(ee_, 1, 1))}, renewed, {}), DaneResult::verified);
    // DANE-EE pins the certificate; its names and issuer do not matter.
    EXPECT_EQ(match({rec(3, 1, 1, assoc(ee_, 1, 1))}, ee_, {}, "elsewhere.test"),
              DaneResult::verified);
}

TEST_F(DaneMatch, FullDataAndSha512AreCompared) {
    EXPECT_EQ(match({rec(3, 1, 2, assoc(ee_, 1, 2))}, ee_, {}), DaneResult::verified);
    EXPECT_EQ(match({rec(3, 1, 2, assoc(other_, 1, 2))}, ee_, {}), DaneResult::mismatch);
    EXPECT_EQ(match({rec(3, 0, 2, assoc(ee_, 0, 2))}, ee_, {}), DaneResult::verified);
    EXPECT_EQ(match({rec(3, 1, 0, assoc(ee_, 1, 0))}, ee_, {}), DaneResult::verified);
    EXPECT_EQ(match({rec(3, 0, 0, assoc(ee_, 0, 0))}, ee_, {}), DaneResult::verified);
    EXPECT_EQ(match({rec(3, 1, 0, assoc(other_, 1, 0))}, ee_, {}), DaneResult::mismatch);
    // A SHA-256 value under matching type 2 is not a SHA-512 value.
    EXPECT_EQ(match({rec(3, 1, 2, assoc(ee_, 1, 1))}, ee_, {}), DaneResult::mismatch);
    // Full data cut short does not match.
    Bytes cut = assoc(ee_, 1, 0);
    cut.pop_back();
    EXPECT_EQ(match({rec(3, 1, 0, cut)}, ee_, {}), DaneResult::mismatch);
}

TEST_F(DaneMatch, UnusableRecords) {
    const Bytes good = assoc(ee_, 1, 1);
    EXPECT_EQ(match({}, ee_, {}), DaneResult::no_usable_records);
    EXPECT_EQ(match({rec(4, 1, 1, good), rec(3, 2, 1, good), rec(3, 1, 3, good)}, ee_, {}),
              DaneResult::no_usable_records);
    // One usable record among unusable ones decides.
    EXPECT_EQ(match({rec(4, 1, 1, good), rec(3, 1, 1, good)}, ee_, {}), DaneResult::verified);
    Bytes short_digest = good;
    short_digest.pop_back();
    EXPECT_EQ(match({rec(3, 1, 1, short_digest)}, ee_, {}), DaneResult::mismatch);
    // The first matching record ends the search.
    EXPECT_EQ(match({rec(3, 0, 1, assoc(other_, 0, 1)), rec(3, 1, 1, good)}, ee_, {}),
              DaneResult::verified);
}

TEST_F(DaneMatch, PkixEndEntityMatchesASelfSignedCertificate) {
    const TestCert self = test::make_cert(CertSpec::leaf("b.test"), nullptr);
    EXPECT_EQ(match({rec(1, 0, 1, assoc(self, 0, 1))}, self, {&self}), DaneResult::verified);
}

TEST_F(DaneMatch, TrustAnchorMustBeOnTheVerifiedPath) {
    const Bytes ca_digest = assoc(ca_, 0, 1);
    // The issuing CA sent in the chain, as a server sends it.
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, ee_, {&ee_, &ca_}), DaneResult::verified);
    EXPECT_EQ(match({rec(2, 1, 1, assoc(ca_, 1, 1))}, ee_, {&ca_}), DaneResult::verified);
    EXPECT_EQ(match({rec(0, 0, 1, ca_digest)}, ee_, {&ee_, &ca_}), DaneResult::verified);

    // An intermediate between the end-entity certificate and the anchor.
    const TestCert inter = test::make_cert(CertSpec::authority("Inter"), &ca_);
    const TestCert leaf = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &inter);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, leaf, {&leaf, &inter, &ca_}), DaneResult::verified);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, leaf, {&leaf, &ca_}), DaneResult::mismatch);

    // Someone else's CA appended to a chain it did not issue.
    const TestCert rogue_ca = test::make_cert(CertSpec::authority("Rogue CA"), nullptr);
    const TestCert rogue = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &rogue_ca);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, rogue, {&rogue, &rogue_ca, &ca_}),
              DaneResult::mismatch);
    EXPECT_EQ(match({rec(0, 0, 1, ca_digest)}, rogue, {&rogue, &ca_}), DaneResult::mismatch);
}

TEST_F(DaneMatch, TrustAnchorUsagesNeedTheDomainInTheCertificate) {
    const Bytes ca_digest = assoc(ca_, 0, 1);
    const TestCert wrong_name = test::make_cert(CertSpec::leaf("c.test", {"c.test"}), &ca_);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, wrong_name, {&wrong_name, &ca_}),
              DaneResult::mismatch);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, ee_, {&ee_, &ca_}, "c.test"), DaneResult::mismatch);
    // The common name counts when there is no dNSName.
    const TestCert cn_only = test::make_cert(CertSpec::leaf("b.test"), &ca_);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, cn_only, {&cn_only, &ca_}), DaneResult::verified);
    const TestCert wildcard = test::make_cert(CertSpec::leaf("w", {"*.example.test"}), &ca_);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, wildcard, {&ca_}, "chat.example.test"),
              DaneResult::verified);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, wildcard, {&ca_}, "example.test"),
              DaneResult::mismatch);
    EXPECT_EQ(match({rec(2, 0, 1, ca_digest)}, ee_, {&ca_}, ""), DaneResult::mismatch);
}

TEST_F(DaneMatch, TrustAnchorsMustBeWithinTheirValidity) {
    const TestCert old_ca =
        test::make_cert(CertSpec::authority("Old CA").valid_days(-60, -1), nullptr);
    const TestCert leaf = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &old_ca);
    EXPECT_EQ(match({rec(2, 0, 1, assoc(old_ca, 0, 1))}, leaf, {&leaf, &old_ca}),
              DaneResult::mismatch);
    const TestCert expired_leaf =
        test::make_cert(CertSpec::leaf("b.test", {"b.test"}).valid_days(-60, -1), &ca_);
    EXPECT_EQ(match({rec(2, 0, 1, assoc(ca_, 0, 1))}, expired_leaf, {&expired_leaf, &ca_}),
              DaneResult::mismatch);
    // DANE-EE ignores validity dates.
    EXPECT_EQ(match({rec(3, 0, 1, assoc(expired_leaf, 0, 1))}, expired_leaf, {}),
              DaneResult::verified);
}

TEST_F(DaneMatch, SelfSignedEndEntityAsItsOwnAnchor) {
    const TestCert self = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), nullptr);
    EXPECT_EQ(match({rec(2, 0, 1, assoc(self, 0, 1))}, self, {}), DaneResult::verified);
    EXPECT_EQ(match({rec(2, 0, 1, assoc(self, 0, 1))}, self, {}, "a.test"), DaneResult::mismatch);
}

TEST_F(DaneMatch, GarbageCertificatesNeverVerifyAnAnchor) {
    const Bytes junk{0x30, 0x03, 0x02, 0x01, 0x01};
    const std::vector<TlsaRecord> records{rec(2, 0, 1, test::sha256(junk))};
    EXPECT_EQ(dane_match(junk, std::vector<Der>{junk}, records, "b.test"), DaneResult::mismatch);
    // DANE-EE over the same bytes is a plain comparison.
    const std::vector<TlsaRecord> ee_records{rec(3, 0, 1, test::sha256(junk))};
    EXPECT_EQ(dane_match(junk, {}, ee_records, "b.test"), DaneResult::verified);
}

// The check procedures over a real TLS connection, with their log lines.
class DaneCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

    void SetUp() override {
        ca_ = test::make_cert(CertSpec::authority("Test CA"), nullptr);
        server_cert_ = test::make_cert(CertSpec::leaf("b.test", {"b.test"}), &ca_);
        client_cert_ = test::make_cert(CertSpec::leaf("a.test", {"a.test"}), &ca_);
        log_path_ = dir_.path() + "/log";
        log_fd_ = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(log_fd_, 0);
        log::set_output_fd(log_fd_);
    }

    void TearDown() override {
        log::set_output_fd(2);
        close(log_fd_);
        tls_close(client_);
        tls_close(server_);
    }

    void connect(bool client_certificate) {
        auto sctx = create_server_tls_context(dir_.write_chain("s.pem", {&server_cert_, &ca_}),
                                              dir_.write_key("s.key", server_cert_));
        ASSERT_TRUE(sctx);
        server_ctx_.reset(*sctx);
        auto cctx = client_certificate
                        ? create_client_tls_context(dir_.write_chain("c.pem", {&client_cert_}),
                                                    dir_.write_key("c.key", client_cert_))
                        : create_client_tls_context(std::nullopt, std::nullopt);
        ASSERT_TRUE(cctx);
        client_ctx_.reset(*cctx);
        auto pair = test::socket_pair();
        client_.fd = pair.a;
        server_.fd = pair.b;
        ASSERT_TRUE(tls_server_attach(server_, server_ctx_.get()));
        ASSERT_TRUE(tls_client_attach(client_, client_ctx_.get(), "b.test"));
        ASSERT_TRUE(test::drive_handshake(client_, server_));
    }

    // The messages of the lines written so far (after "): ").
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        FILE* f = fopen(log_path_.c_str(), "r");
        char buf[4096];
        while (f && fgets(buf, sizeof buf, f)) {
            std::string l(buf);
            if (!l.empty() && l.back() == '\n') l.pop_back();
            const size_t at = l.find("(fenra-s2s): ");
            out.push_back(at == std::string::npos ? "?" + l : l.substr(at + 13));
        }
        if (f) fclose(f);
        return out;
    }

    using Records = std::vector<TlsaRecord>;
    static constexpr DaneTlsa usable = DaneTlsa::usable;
    using Lines = std::vector<std::string>;

    test::TempDir dir_;
    std::string log_path_;
    int log_fd_ = -1;
    TestCert ca_;
    TestCert server_cert_;
    TestCert client_cert_;
    test::CtxPtr server_ctx_;
    test::CtxPtr client_ctx_;
    TlsConn client_;
    TlsConn server_;
};

TEST_F(DaneCheck, OutboundOutcomesAndLines) {
    connect(false);
    const Records good{rec(3, 1, 1, assoc(server_cert_, 1, 1))};
    const Records wrong{rec(3, 0, 1, assoc(client_cert_, 0, 1))};
    const Records unusable{rec(4, 0, 1, assoc(server_cert_, 0, 1))};
    // The anchor usage through the chain the server sent.
    const Records anchor{rec(2, 0, 1, assoc(ca_, 0, 1))};
    const struct {
        DaneTlsa use;
        const Records& records;
        DaneStatus want;
    } cases[] = {
        {usable, good, DaneStatus::verified},     {usable, wrong, DaneStatus::failed},
        {usable, unusable, DaneStatus::none},     {usable, {}, DaneStatus::none},
        {DaneTlsa::none, good, DaneStatus::none}, {DaneTlsa::failed, {}, DaneStatus::failed},
        {usable, anchor, DaneStatus::verified},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dane_check_outbound(c.use, c.records, client_, "xmpp.b.test", 5270, "b.test"),
                  c.want);
    const std::string none = "no TLSA records for xmpp.b.test:5270 \xe2\x80\x94 will use dialback";
    EXPECT_EQ(lines(), (Lines{
                           "DANE result for b.test: verified",
                           "DANE result for b.test: FAILED",
                           "DANE result for b.test: no-records",
                           none,
                           none,
                           "DANE result for b.test: FAILED (TLSA answer for xmpp.b.test:5270 "
                           "bogus or not to be had)",
                           "DANE result for b.test: verified",
                       }));
}

TEST_F(DaneCheck, OutboundWithoutTls) {
    const Records good{rec(3, 1, 1, {1})};
    TlsConn plain;
    EXPECT_EQ(dane_check_outbound(usable, good, plain, "h", 5269, "b.test"), DaneStatus::none);
    EXPECT_TRUE(lines().empty());
}

TEST_F(DaneCheck, InboundOutcomesAndLines) {
    connect(true);
    const Records good{rec(3, 1, 1, assoc(client_cert_, 1, 1))};
    const Records wrong{rec(3, 1, 1, assoc(server_cert_, 1, 1))};
    // The client sent only its own certificate: no chain to anchor in.
    const Records anchor{rec(2, 0, 1, assoc(ca_, 0, 1))};
    EXPECT_TRUE(dane_check_inbound(usable, good, server_, "a.test"));
    EXPECT_FALSE(dane_check_inbound(usable, wrong, server_, "a.test"));
    EXPECT_FALSE(dane_check_inbound(usable, anchor, server_, "a.test"));
    EXPECT_FALSE(dane_check_inbound(usable, {}, server_, "a.test"));
    EXPECT_FALSE(dane_check_inbound(DaneTlsa::none, good, server_, "a.test"));
    EXPECT_FALSE(dane_check_inbound(DaneTlsa::failed, good, server_, "a.test"));
    EXPECT_EQ(lines(), (Lines{
                           "inbound DANE for a.test: verified",
                           "inbound DANE for a.test: not verified (will offer dialback)",
                           "inbound DANE for a.test: not verified (will offer dialback)",
                           "inbound DANE: no TLSA records for a.test",
                           "inbound DANE: no TLSA records for a.test",
                           "inbound DANE for a.test: not verified (TLSA answer bogus or not to be "
                           "had; will offer dialback)",
                       }));
}

TEST_F(DaneCheck, MissingPeerCertificates) {
    connect(false);
    const Records good{rec(3, 1, 1, {1})};
    EXPECT_FALSE(dane_check_inbound(usable, good, server_, "a.test"));
    // The server always has a certificate; a TLS object without a finished
    // handshake has none.
    TlsConn fresh;
    auto pair = test::socket_pair();
    fresh.fd = pair.a;
    ASSERT_TRUE(tls_client_attach(fresh, client_ctx_.get(), "b.test"));
    EXPECT_EQ(dane_check_outbound(usable, good, fresh, "h", 5269, "b.test"), DaneStatus::none);
    tls_close(fresh);
    close(pair.b);
    EXPECT_EQ(lines(), (Lines{
                           "inbound DANE: no peer certificate from a.test",
                           "no peer certificate for b.test",
                       }));
}

}  // namespace
}  // namespace fenra::s2s
