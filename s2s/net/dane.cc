#include "s2s/net/dane.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <new>

#include "runtime/log.h"

namespace fenra::s2s {
namespace {

constexpr std::string_view kScope = "fenra-s2s";
constexpr size_t kMaxLengthBytes = 4;

// One DER element: header at start, content from content to end.
struct Element {
    size_t start;
    size_t content;
    size_t end;
};

// The element at POS, which must lie within [POS, LIMIT).
std::optional<Element> read_element(std::span<const uint8_t> der, size_t pos, size_t limit) {
    if (pos > limit || limit - pos < 2) return std::nullopt;
    size_t p = pos + 1;  // the tag byte is not examined
    const uint8_t first = der[p++];
    size_t len = first;
    if (first >= 0x80) {
        const size_t n = first & 0x7f;
        if (n == 0 || n > kMaxLengthBytes || limit - p < n) return std::nullopt;
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = len << 8 | der[p++];
    }
    if (limit - p < len) return std::nullopt;
    return Element{pos, p, p + len};
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse_cert(std::span<const uint8_t> der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ERR_clear_error();
    return X509Ptr(x);
}

bool digest_equals(const EVP_MD* md, std::span<const uint8_t> bytes,
                   const std::vector<uint8_t>& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out, &len, md, nullptr) != 1) {
        ERR_clear_error();
        return false;
    }
    return data.size() == len && std::memcmp(out, data.data(), len) == 0;
}

// Whether the certificate association data of a record with MATCHING_TYPE
// stands for SELECTED (the bytes its selector chose).
bool association_matches(std::span<const uint8_t> selected, uint8_t matching_type,
                         const std::vector<uint8_t>& data) {
    switch (matching_type) {
        case 0:
            return data.size() == selected.size() &&
                   std::memcmp(data.data(), selected.data(), data.size()) == 0;
        case 1:
            return digest_equals(EVP_sha256(), selected, data);
        case 2:
            return digest_equals(EVP_sha512(), selected, data);
        default:
            return false;
    }
}

bool usable(const TlsaRecord& r) {
    return r.usage <= 3 && r.selector <= 1 && r.matching_type <= 2;
}

// The certificates of one match, parsed on demand for the trust-anchor
// usages, with the outcome of each path check kept.
class Peer {
  public:
    Peer(std::span<const uint8_t> ee_der, std::span<const Der> chain, std::string_view domain)
        : ee_der_(ee_der), chain_der_(chain), domain_(domain) {}
    ~Peer() { sk_X509_free(untrusted_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Whether the end-entity certificate names the domain (a dNSName in
    // subjectAltName, or the subject's common name when there is none).
    bool names_domain() {
        if (name_ok_ < 0) {
            name_ok_ = 0;
            X509* ee = end_entity();
            if (ee && !domain_.empty() &&
                X509_check_host(ee, domain_.data(), domain_.size(),
                                X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1)
                name_ok_ = 1;
            ERR_clear_error();
        }
        return name_ok_ == 1;
    }

    // Whether the end-entity certificate verifies up to chain certificate
    // I (I == chain size: the end-entity certificate itself): each signature
    // on the way checked, each certificate within its validity.
    bool chains_to(size_t i) {
        if (verified_.empty()) verified_.assign(chain_der_.size() + 1, -1);
        if (verified_[i] < 0) verified_[i] = verify_up_to(i) ? 1 : 0;
        return verified_[i] == 1;
    }

  private:
    X509* end_entity() {
        if (!ee_parsed_) {
            ee_ = parse_cert(ee_der_);
            ee_parsed_ = true;
        }
        return ee_.get();
    }

    void parse_chain() {
        if (chain_parsed_) return;
        chain_parsed_ = true;
        untrusted_ = sk_X509_new_null();
        chain_.resize(chain_der_.size());
        for (size_t i = 0; i < chain_der_.size(); ++i) {
            chain_[i] = parse_cert(chain_der_[i]);
            if (chain_[i] && untrusted_) sk_X509_push(untrusted_, chain_[i].get());
        }
    }

    bool verify_up_to(size_t i) {
        X509* ee = end_entity();
        if (!ee) return false;
        parse_chain();
        X509* anchor = i < chain_.size() ? chain_[i].get() : ee;
        if (!anchor || !untrusted_) return false;
        X509_STORE* store = X509_STORE_new();
        X509_STORE_CTX* ctx = X509_STORE_CTX_new();
        bool ok = store && ctx && X509_STORE_add_cert(store, anchor) == 1 &&
                  X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN) == 1 &&
                  X509_STORE_CTX_init(ctx, store, ee, untrusted_) == 1 &&
                  X509_verify_cert(ctx) == 1;
        X509_STORE_CTX_free(ctx);
        X509_STORE_free(store);
        ERR_clear_error();
        return ok;
    }

    std::span<const uint8_t> ee_der_;
    std::span<const Der> chain_der_;
    std::string_view domain_;
    X509Ptr ee_;
    bool ee_parsed_ = false;
    std::vector<X509Ptr> chain_;
    bool chain_parsed_ = false;
    STACK_OF(X509) * untrusted_ = nullptr;  // borrows the certificates of chain_
    std::vector<int8_t> verified_;
    int8_t name_ok_ = -1;
};

bool record_matches(const TlsaRecord& rec, std::span<const uint8_t> ee_der,
                    std::span<const Der> chain, Peer& peer) {
    auto matches = [&](std::span<const uint8_t> cert) {
        return association_matches(dane_selected_bytes(cert, rec.selector), rec.matching_type,
                                   rec.data);
    };
    if (rec.usage == 1 || rec.usage == 3) return matches(ee_der);
    // Trust-anchor usages: the anchor must be on the end-entity certificate's
    // verified path, and the end-entity certificate must be for this domain.
    if (!peer.names_domain()) return false;
    for (size_t i = 0; i < chain.size(); ++i) {
        if (matches(chain[i]) && peer.chains_to(i)) return true;
    }
    return matches(ee_der) && peer.chains_to(chain.size());
}

}  // namespace

std::optional<std::span<const uint8_t>> find_spki(std::span<const uint8_t> cert) {
    const auto outer = read_element(cert, 0, cert.size());
    if (!outer) return std::nullopt;
    const auto tbs = read_element(cert, outer->content, outer->end);
    if (!tbs) return std::nullopt;
    size_t pos = tbs->content;
    if (pos < tbs->end && (cert[pos] & 0xe0) == 0xa0) {  // [0] EXPLICIT version
        const auto version = read_element(cert, pos, tbs->end);
        if (!version) return std::nullopt;
        pos = version->end;
    }
    for (int i = 0; i < 5; ++i) {  // serial, signature, issuer, validity, subject
        const auto e = read_element(cert, pos, tbs->end);
        if (!e) return std::nullopt;
        pos = e->end;
    }
    const auto spki = read_element(cert, pos, tbs->end);
    if (!spki) return std::nullopt;
    return cert.subspan(spki->start, spki->end - spki->start);
}

std::string_view dane_tlsa_name(DaneTlsa t) {
    switch (t) {
        case DaneTlsa::none:
            return "none";
        case DaneTlsa::usable:
            return "usable";
        case DaneTlsa::failed:
            break;
    }
    return "failed";
}

bool dane_tlsa_wanted(DnsSecurity srv) {
    return srv == DnsSecurity::secure;
}

DaneTlsa dane_tlsa_use(DnsSecurity srv, DnsSecurity tlsa, DnsOutcome outcome) {
    if (srv == DnsSecurity::bogus) return DaneTlsa::failed;
    if (srv == DnsSecurity::insecure) return DaneTlsa::none;
    // Under a secure SRV answer a TLSA lookup that failed may hide records
    // an attacker suppressed: it counts like a bogus one.
    if (tlsa == DnsSecurity::bogus || outcome == DnsOutcome::failed) return DaneTlsa::failed;
    if (tlsa == DnsSecurity::insecure) return DaneTlsa::none;
    return outcome == DnsOutcome::records ? DaneTlsa::usable : DaneTlsa::none;
}

std::span<const uint8_t> dane_selected_bytes(std::span<const uint8_t> cert, uint8_t selector) {
    if (selector == 1) {
        if (auto spki = find_spki(cert)) return *spki;
    }
    return cert;
}

DaneResult dane_match(std::span<const uint8_t> ee_der, std::span<const Der> chain,
                      std::span<const TlsaRecord> records, std::string_view domain) {
    try {
        bool any_usable = false;
        Peer peer(ee_der, chain, domain);
        for (const TlsaRecord& rec : records) {
            if (!usable(rec)) continue;
            any_usable = true;
            if (record_matches(rec, ee_der, chain, peer)) return DaneResult::verified;
        }
        return any_usable ? DaneResult::mismatch : DaneResult::no_usable_records;
    } catch (const std::bad_alloc&) {
        return DaneResult::no_usable_records;
    }
}

namespace {

struct PeerCerts {
    Der ee;
    std::vector<Der> chain;
};

// The peer's certificates. Nothing when memory ran out; an empty ee when
// the peer sent no certificate.
std::optional<PeerCerts> fetch_peer_certs(const TlsConn& conn) {
    auto ee = peer_certificate_der(conn);
    if (!ee) return std::nullopt;
    PeerCerts certs;
    if (!*ee) return certs;
    certs.ee = std::move(**ee);
    auto chain = peer_chain_der(conn);
    if (!chain) return std::nullopt;
    certs.chain = std::move(*chain);
    return certs;
}

}  // namespace

DaneStatus dane_check_outbound(DaneTlsa use, std::span<const TlsaRecord> records,
                               const TlsConn& conn, std::string_view host, uint16_t port,
                               std::string_view domain) {
    if (use == DaneTlsa::failed) {
        log::warn(kScope, {"DANE result for ", domain, ": FAILED (TLSA answer for ", host, ":",
                           port, " bogus or not to be had)"});
        return DaneStatus::failed;
    }
    if (use == DaneTlsa::none || records.empty()) {
        log::info(kScope,
                  {"no TLSA records for ", host, ":", port, " \xe2\x80\x94 will use dialback"});
        return DaneStatus::none;
    }
    if (!conn.tls_active) return DaneStatus::none;
    const auto certs = fetch_peer_certs(conn);
    if (!certs) return DaneStatus::none;
    if (certs->ee.empty()) {
        log::warn(kScope, {"no peer certificate for ", domain});
        return DaneStatus::none;
    }
    switch (dane_match(certs->ee, certs->chain, records, domain)) {
        case DaneResult::verified:
            log::info(kScope, {"DANE result for ", domain, ": verified"});
            return DaneStatus::verified;
        case DaneResult::no_usable_records:
            log::info(kScope, {"DANE result for ", domain, ": no-records"});
            return DaneStatus::none;
        case DaneResult::mismatch:
            break;
    }
    log::info(kScope, {"DANE result for ", domain, ": FAILED"});
    return DaneStatus::failed;
}

bool dane_check_inbound(DaneTlsa use, std::span<const TlsaRecord> records, const TlsConn& conn,
                        std::string_view domain) {
    if (use == DaneTlsa::failed) {
        log::info(kScope, {"inbound DANE for ", domain,
                           ": not verified (TLSA answer bogus or not to be had; will offer "
                           "dialback)"});
        return false;
    }
    if (use == DaneTlsa::none || records.empty()) {
        log::info(kScope, {"inbound DANE: no TLSA records for ", domain});
        return false;
    }
    const auto certs = fetch_peer_certs(conn);
    if (!certs) return false;
    if (certs->ee.empty()) {
        log::info(kScope, {"inbound DANE: no peer certificate from ", domain});
        return false;
    }
    const bool ok = dane_match(certs->ee, certs->chain, records, domain) == DaneResult::verified;
    log::info(kScope, {"inbound DANE for ", domain, ": ",
                       ok ? "verified" : "not verified (will offer dialback)"});
    return ok;
}

}  // namespace fenra::s2s
