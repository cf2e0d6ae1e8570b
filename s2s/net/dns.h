// DNS records of fenra-s2s: the SRV records that locate a remote domain's
// servers and the TLSA records that pin their certificates, read from the
// raw answers the resolver (s2s/net/resolver.h) returns.
//
// A reply that is not a well-formed DNS message is ParseError; single
// malformed or foreign records in a well-formed reply are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/result.h"

namespace fenra::s2s {

struct SrvRecord {
    std::string target;  // labels joined by "." without a trailing dot; "." for the root
    uint16_t priority = 0;
    uint16_t weight = 0;
    uint16_t port = 0;
};

struct TlsaRecord {
    std::vector<uint8_t> data;  // certificate association data
    uint8_t usage = 0;
    uint8_t selector = 0;
    uint8_t matching_type = 0;
};

inline constexpr std::string_view kDirectTlsService = "_xmpps-server._tcp";
inline constexpr std::string_view kStartTlsService = "_xmpp-server._tcp";
inline constexpr uint16_t kDefaultS2sPort = 5269;
// Query names live in 256-byte buffers; queried names are at most 255 bytes.
inline constexpr size_t kDnsNameSize = 256;
inline constexpr uint16_t kDnsTypeSrv = 33;
inline constexpr uint16_t kDnsTypeTlsa = 52;

// Pure walks over a complete DNS reply (header, question, answer, authority
// and additional sections). Every section must lie exactly within the bytes,
// else ParseError. Answer records of other types, with a broken owner name or
// with record data too short for their type are skipped; the rest come back
// in answer order. SRV targets are read as plain labels: a compression
// pointer is an ordinary (over-long) label and drops its record.
Result<std::vector<SrvRecord>> parse_srv_answer(std::span<const uint8_t> msg);
Result<std::vector<TlsaRecord>> parse_tlsa_answer(std::span<const uint8_t> msg);

// Stable order: lower priority first, then heavier weight first.
void sort_srv_records(std::vector<SrvRecord>& records);

// "_" PORT "._tcp." HOST; NameTooLong when that is 256 bytes or more.
Result<std::string> tlsa_query_name(uint16_t port, std::string_view host);

}  // namespace fenra::s2s
