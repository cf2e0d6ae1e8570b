// The DNSSEC-validating resolver of fenra-s2s, on libunbound, never blocking
// the event loop.
//
// libunbound runs its lookups on a thread of its own (never a forked process,
// which would inherit our sockets and keys) and writes each finished lookup
// into a pipe. The owner registers fd() for reading in its event loop and
// calls process() whenever it is readable; process() runs the callbacks of
// the finished lookups, so callbacks come on the loop thread and nowhere else.
// A lookup cancelled by its owner is never called back.
//
// Every query goes to the configured nameservers (a validating stub: we never
// recurse ourselves), which must pass DNSSEC records on. Answers are checked
// from the trust anchor down and reported secure, insecure (no chain of trust
// covers the name, or no anchor at all) or bogus (the chain is broken: the
// records are not handed out). Without a readable trust anchor nothing can be
// secure; validating() tells, so the daemon can warn and leave DANE off.
//
// Settings made explicitly, so nothing of the machine is read but what the
// configuration names: no unbound.conf; no hosts file (every address comes
// from DNS and has a DNSSEC status); nameservers on 127.0.0.0/8 and ::1 are
// used (a local caching resolver is the common case); names under "test."
// are passed to the nameservers like any other name instead of being
// answered NXDOMAIN locally, as a libc stub resolver does; a nameserver's
// time-outs are not remembered from one lookup to the next, so a slow zone
// behind it fails only the lookups that ask for it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/result.h"
#include "s2s/net/dns.h"

struct ub_ctx;
struct ub_result;

namespace fenra::s2s {

// The DNSSEC verdict on one answer.
enum class DnsSecurity : uint8_t { secure, insecure, bogus };

// What came back: records, a name without records of the type, no such name,
// or no usable answer (server failure, refused, time-out, bogus).
enum class DnsOutcome : uint8_t { records, no_data, nxdomain, failed };

std::string_view dns_security_name(DnsSecurity s);  // "secure", "insecure", "bogus"
std::string_view dns_outcome_name(DnsOutcome o);    // "records", "no-data", "nxdomain", "failed"

// An IPv4 or IPv6 address from an A or AAAA record, ready for connect()
// once a port is set.
struct DnsAddress {
    sockaddr_storage addr{};
    socklen_t len = 0;

    int family() const { return addr.ss_family; }
    void set_port(uint16_t port);
    std::string text() const;  // "192.0.2.1", "2001:db8::1"
};

// One finished lookup. Only the list of the query's type is filled, and only
// when outcome is records; SRV records come sorted (sort_srv_records), TLSA
// records in answer order.
struct DnsAnswer {
    DnsOutcome outcome = DnsOutcome::failed;
    DnsSecurity security = DnsSecurity::insecure;
    std::string why_bogus;  // libunbound's reason when bogus
    std::vector<SrvRecord> srv;
    std::vector<TlsaRecord> tlsa;
    std::vector<DnsAddress> addresses;
};

enum class DnsQuery : uint8_t { srv, tlsa, a, aaaa };

using DnsCallback = std::function<void(DnsAnswer&& answer)>;

// Identifies a lookup in flight for cancel(); 0 is never used.
using DnsLookupId = uint64_t;

struct ResolverConfig {
    // "ADDR" or "ADDR@PORT", IPv4 or IPv6; empty: those of resolv_conf.
    std::vector<std::string> nameservers;
    std::string resolv_conf = "/etc/resolv.conf";
    // Empty: the system's root key (kSystemTrustAnchors, the first readable).
    std::string trust_anchor;
    // False: no trust anchor at all, every answer insecure.
    bool dnssec = true;
    // The longest one try waits for a nameserver's reply. libunbound retries
    // with growing waits up to this; against a nameserver that never answers
    // a lookup fails after a few tries, about twice this in all.
    uint32_t max_rtt_ms = 2000;
};

// The root keys that DNSSEC packages install: Debian's dns-root-data, then
// FreeBSD's local_unbound.
inline constexpr std::string_view kSystemTrustAnchors[] = {"/usr/share/dns/root.key",
                                                           "/var/unbound/root.key"};

// Checks "ADDR[@PORT]" (a numeric IPv4 or IPv6 address, a port 1..65535).
bool valid_nameserver(std::string_view server);

class Resolver {
  public:
    // InvalidAddress for a bad nameserver, FileNotFound when no nameserver is
    // configured and resolv_conf names none, ResolverFailed when libunbound
    // refuses the set-up. A named trust anchor that cannot be loaded is
    // NoTrustAnchor; a missing or unusable system root key is not an error
    // (see validating()).
    static Result<std::unique_ptr<Resolver>> create(const ResolverConfig& config);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // False when no trust anchor was loaded: every answer is then insecure.
    bool validating() const { return validating_; }
    const std::string& trust_anchor() const { return trust_anchor_; }

    // The descriptor to watch for reading; process() when it is readable.
    int fd() const;

    // Runs the callbacks of every finished lookup. Callbacks may start and
    // cancel lookups but must not destroy the resolver.
    Result<void> process();

    // Starts a lookup of NAME ("_xmpp-server._tcp.b.test", "b.test") for the
    // given record type; CALLBACK is called once from process(), unless the
    // lookup is cancelled first. NameTooLong for a name of 256 bytes or more.
    Result<DnsLookupId> lookup(std::string_view name, DnsQuery type, DnsCallback callback);

    // Convenience names: SRV of SERVICE "." DOMAIN (kDirectTlsService,
    // kStartTlsService) and TLSA of "_" PORT "._tcp." HOST.
    Result<DnsLookupId> lookup_srv(std::string_view service, std::string_view domain,
                                   DnsCallback callback);
    Result<DnsLookupId> lookup_tlsa(uint16_t port, std::string_view host, DnsCallback callback);

    // Drops a lookup in flight: its callback is never called. Unknown or
    // finished ids are ignored.
    void cancel(DnsLookupId id);

    // Lookups started and not yet answered or cancelled.
    size_t pending() const { return pending_.size(); }

  private:
    struct Pending;
    Resolver() = default;
    static void on_result(void* arg, int err, ub_result* result);
    void finish(Pending* p, int err, ub_result* result);

    ub_ctx* ctx_ = nullptr;
    std::FILE* quiet_ = nullptr;  // where libunbound's diagnostics go
    bool validating_ = false;
    std::string trust_anchor_;
    DnsLookupId next_id_ = 1;
    std::unordered_map<DnsLookupId, std::unique_ptr<Pending>> pending_;
};

}  // namespace fenra::s2s
