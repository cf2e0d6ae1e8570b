// Where a remote domain's servers are: the targets of its SRV records, their
// addresses and their TLSA records, found through the Resolver without ever
// waiting. Every step starts lookups and returns; its callback comes from
// Resolver::process() on the loop thread. Nothing here knows a session.
//
// Order of targets: every "_xmpps-server._tcp" target (direct TLS) in SRV
// order, then every "_xmpp-server._tcp" target (STARTTLS); without any SRV
// record the domain itself on port 5269 with STARTTLS. A failed SRV lookup
// (server failure, time-out) counts as one without records; a bogus one ends
// the search (RFC 7673 section 3: the delivery fails). A target "." (service
// not offered) and a name without addresses have no addresses: the caller
// skips them like a refused connect.
//
// DANE: a target's TLSA records are asked for only when the SRV answer that
// named it is secure (and never for an address literal) (for the domain itself: both SRV denials
// secure); what the TLSA answer then means is dane_tlsa_use (s2s/net/dane.h).
//
// Each step's callback may destroy the TargetLookup. Destroying it, or
// cancel(), drops every lookup in flight: no callback comes after that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/result.h"
#include "s2s/net/dane.h"
#include "s2s/net/dns.h"
#include "s2s/net/resolver.h"

namespace fenra::s2s {

struct Target {
    std::string host;
    uint16_t port = kDefaultS2sPort;
    bool direct_tls = false;
    // The verdict of the SRV answer that named the target; for the domain
    // itself, secure only when both SRV answers were secure denials.
    DnsSecurity srv_security = DnsSecurity::insecure;
    // True once the addresses are known (an address literal from the start).
    bool resolved = false;
    // The host is an address literal: nothing to look up, no DANE.
    bool literal = false;
    // AAAA addresses first, then A, each in answer order, port set.
    std::vector<DnsAddress> addresses;
};

// found: at least one target; bogus: an SRV answer was bogus (or there was
// no memory for the list), no target is left and the delivery fails.
enum class TargetsOutcome : uint8_t { found, bogus };

// The most targets taken from the SRV answers of one domain.
inline constexpr size_t kMaxTargets = 16;

class TargetLookup {
  public:
    using TargetsDone = std::function<void(TargetsOutcome outcome)>;
    using AddressesDone = std::function<void(size_t index)>;
    using AllDone = std::function<void()>;
    using TlsaDone = std::function<void(DaneTlsa use, std::vector<TlsaRecord>&& records)>;

    explicit TargetLookup(Resolver& resolver) : resolver_(resolver) {}
    ~TargetLookup() { cancel(); }
    TargetLookup(const TargetLookup&) = delete;
    TargetLookup& operator=(const TargetLookup&) = delete;

    // Looks up both SRV records of DOMAIN; DONE once both answered, with
    // targets() filled (addresses not yet known). Drops any earlier search of
    // this object. False (no lookup, no callback) for an address literal: its
    // one target, port 5269, is there at once. NameTooLong when a service
    // name would reach 256 bytes.
    Result<bool> find(std::string_view domain, TargetsDone done);

    // Looks up the A and AAAA addresses of target INDEX at once; DONE once
    // both answered. False (no lookup, no callback) when they are already
    // known, being looked up, or the target is ".". On an error nothing of
    // the step is left in flight.
    Result<bool> resolve(size_t index, AddressesDone done);

    // resolve() for every target at once; DONE when all are known. False
    // (no callback) when nothing was left to look up.
    Result<bool> resolve_all(AllDone done);

    // Looks up the TLSA records of target INDEX; DONE with their meaning
    // (records only when usable). False (no lookup, no callback) when the
    // target's SRV verdict allows no DANE.
    Result<bool> tlsa(size_t index, TlsaDone done);

    // The TLSA answer for a peer claiming DOMAIN: that of its first target
    // (find, then tlsa(0)). DONE once: failed for a bogus SRV answer, none
    // when the SRV verdict allows no DANE. False (no callback) for an
    // address literal, which has no DANE. Errors as for find().
    Result<bool> peer_tlsa(std::string_view domain, TlsaDone done);

    // Drops every lookup in flight; their callbacks never come.
    void cancel();

    std::string_view domain() const { return domain_; }
    const std::vector<Target>& targets() const { return targets_; }
    // Lookups started and not yet answered.
    size_t pending() const { return pending_; }

  private:
    Result<DnsLookupId> start(std::string_view name, DnsQuery type, DnsCallback callback);
    void on_srv(bool direct, DnsAnswer&& answer);
    void on_address(size_t index);

    Resolver& resolver_;
    std::string domain_;
    std::vector<Target> targets_;
    // Every lookup started since the last find() or cancel() (answered ones
    // included: cancelling those is a no-op).
    std::vector<DnsLookupId> started_;
    size_t pending_ = 0;

    // The search in progress.
    DnsAnswer srv_[2];  // [0] direct TLS, [1] STARTTLS
    int srv_left_ = 0;
    TargetsDone targets_done_;
    struct AddressStep {
        int left = 0;
        DnsAnswer aaaa;
        DnsAnswer a;
        AddressesDone done;
    };
    std::vector<AddressStep> address_steps_;  // one per target
};

// The targets named by the SRV answers of DOMAIN (direct TLS and STARTTLS),
// in the order above; the records are moved out of the answers.
TargetsOutcome targets_from_srv(std::string_view domain, DnsAnswer& direct, DnsAnswer& starttls,
                                std::vector<Target>& out);

// "[2001:db8::1]:5269", "192.0.2.1:5269": an address with its port, for log lines.
std::string address_text(const DnsAddress& a);

}  // namespace fenra::s2s
