// DANE: whether a peer's certificate is vouched for by the TLSA records of
// the peer (RFC 6698, RFC 7671). The outcome chooses the authentication path
// of a session: SASL EXTERNAL when verified, dialback otherwise; an outbound
// certificate that contradicts published records fails the connection.
//
// Matching: usage 1 and 3 compare the end-entity certificate; usage 0 and 2
// compare each chain certificate that the end-entity certificate really
// verifies up to (signatures checked, each certificate within its validity),
// then the end-entity certificate itself, and the end-entity certificate must
// name the domain. Selector 0 is the whole certificate, selector 1 its
// SubjectPublicKeyInfo; matching type 0 is the bytes themselves, 1 their
// SHA-256, 2 their SHA-512.
//
// DANE needs a secure chain (RFC 7673 section 3): the SRV answer that named
// a target must be secure before the target's TLSA records are asked for at
// all, and the TLSA answer itself must be secure. dane_tlsa_use tells what
// an answer means; the check procedures below take the records as given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/result.h"
#include "s2s/net/dns.h"
#include "s2s/net/resolver.h"
#include "s2s/net/tls.h"

namespace fenra::s2s {

enum class DaneResult : uint8_t { verified = 0, no_usable_records = 1, mismatch = 2 };

// DANE status of an outbound connection. failed: the connection fails with
// "dane-verification-failed".
enum class DaneStatus : uint8_t { none, verified, failed };

// What a target's TLSA answer means. none: no DANE, dialback; usable: the
// records decide (dane_match); failed: an outbound delivery fails with
// "dane-verification-failed", an inbound peer cannot use EXTERNAL.
enum class DaneTlsa : uint8_t { none, usable, failed };

std::string_view dane_tlsa_name(DaneTlsa t);  // "none", "usable", "failed"

// Whether the TLSA records of a target are looked up: only when the SRV
// answer that named it (or denied every SRV record) is secure.
bool dane_tlsa_wanted(DnsSecurity srv);

// The meaning of a TLSA answer with the given verdict and outcome, for a
// target named by an SRV answer with verdict SRV. An insecure SRV answer is
// none whatever the TLSA answer; under a secure one, a bogus TLSA answer or
// none usable (server failure, time-out) is failed, an insecure one or a
// secure denial none, secure records usable.
DaneTlsa dane_tlsa_use(DnsSecurity srv, DnsSecurity tlsa, DnsOutcome outcome);

// The SubjectPublicKeyInfo element (header and content) inside a DER
// certificate, found by a minimal walk: certificate, TBSCertificate, the
// optional explicit version, five elements skipped. Nothing when any element
// runs past its enclosing one or a length uses more than 4 bytes.
std::optional<std::span<const uint8_t>> find_spki(std::span<const uint8_t> cert);

// The bytes selector 0 or 1 stands for: the whole certificate, or its
// SubjectPublicKeyInfo (the whole certificate when the walk fails).
std::span<const uint8_t> dane_selected_bytes(std::span<const uint8_t> cert, uint8_t selector);

// Matches the peer's certificates against RECORDS for DOMAIN. Records with
// usage > 3, selector > 1 or matching type > 2 are not usable; none usable
// gives no_usable_records; otherwise the first matching record gives
// verified and no match gives mismatch. Never fails (no memory counts as
// no_usable_records).
DaneResult dane_match(std::span<const uint8_t> ee_der, std::span<const Der> chain,
                      std::span<const TlsaRecord> records, std::string_view domain);

// The check after an outbound TLS handshake: the target's TLSA answer (its
// meaning USE and, when usable, its records) matched against the peer's
// certificates. failed when USE is failed. Writes its log lines (scope
// fenra-s2s). none: use dialback.
DaneStatus dane_check_outbound(DaneTlsa use, std::span<const TlsaRecord> records,
                               const TlsConn& conn, std::string_view host, uint16_t port,
                               std::string_view domain);

// Whether an inbound peer claiming DOMAIN may use SASL EXTERNAL: the TLSA
// answer of the domain's first target (TargetLookup::peer_tlsa) matched
// against the client certificate. Writes its log lines (scope fenra-s2s).
bool dane_check_inbound(DaneTlsa use, std::span<const TlsaRecord> records, const TlsConn& conn,
                        std::string_view domain);

}  // namespace fenra::s2s
