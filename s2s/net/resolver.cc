#include "s2s/net/resolver.h"

#include <arpa/inet.h>
#include <unbound.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "runtime/number.h"

namespace fenra::s2s {
namespace {

constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeAaaa = 28;
constexpr int kClassIn = 1;

uint16_t rr_type(DnsQuery q) {
    switch (q) {
        case DnsQuery::srv:
            return kDnsTypeSrv;
        case DnsQuery::tlsa:
            return kDnsTypeTlsa;
        case DnsQuery::a:
            return kDnsTypeA;
        case DnsQuery::aaaa:
            break;
    }
    return kDnsTypeAaaa;
}

// Option settings that do not depend on the configuration (see resolver.h).
constexpr const char* kOptions[][2] = {
    {"do-not-query-localhost:", "no"},
    // "nodefault" is not taken through ub_ctx_set_option; "transparent" with
    // no local data passes every query on, which is the same here.
    {"local-zone:", "test. transparent"},
    // No memory of a nameserver's time-outs beyond the lookup: a forwarder
    // that stalled on one name (a slow zone behind it) would otherwise be
    // taken as down and every lookup fail at once for the next 15 minutes.
    {"infra-host-ttl:", "0"},
    {"use-syslog:", "no"},
    {"verbosity:", "0"},
};

// Splits "ADDR[@PORT]"; false unless ADDR is a numeric address and PORT a
// number from 1 to 65535.
bool split_nameserver(std::string_view server, std::string& addr) {
    const size_t at = server.find('@');
    const std::string_view host = server.substr(0, at);
    if (at != std::string_view::npos) {
        const auto port = parse_u16(server.substr(at + 1));
        if (!port || *port == 0) return false;
    }
    if (host.empty() || host.size() >= INET6_ADDRSTRLEN) return false;
    addr.assign(host);
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, addr.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, addr.c_str(), buf) == 1;
}

Error error_of_ub(int err) {
    return err == UB_NOMEM ? Error::OutOfMemory : Error::ResolverFailed;
}

bool readable(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

}  // namespace

std::string_view dns_security_name(DnsSecurity s) {
    switch (s) {
        case DnsSecurity::secure:
            return "secure";
        case DnsSecurity::insecure:
            return "insecure";
        case DnsSecurity::bogus:
            break;
    }
    return "bogus";
}

std::string_view dns_outcome_name(DnsOutcome o) {
    switch (o) {
        case DnsOutcome::records:
            return "records";
        case DnsOutcome::no_data:
            return "no-data";
        case DnsOutcome::nxdomain:
            return "nxdomain";
        case DnsOutcome::failed:
            break;
    }
    return "failed";
}

void DnsAddress::set_port(uint16_t port) {
    if (family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(port);
}

std::string DnsAddress::text() const {
    char buf[INET6_ADDRSTRLEN] = "";
    if (family() == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, buf,
                  sizeof buf);
    else
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, buf, sizeof buf);
    return buf;
}

bool valid_nameserver(std::string_view server) {
    try {
        std::string addr;
        return split_nameserver(server, addr);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

struct Resolver::Pending {
    Resolver* owner = nullptr;
    DnsLookupId id = 0;
    int async_id = 0;
    DnsQuery type = DnsQuery::a;
    DnsCallback callback;
};

Result<std::unique_ptr<Resolver>> Resolver::create(const ResolverConfig& config) {
    try {
        std::unique_ptr<Resolver> r(new Resolver);
        r->ctx_ = ub_ctx_create();
        if (r->ctx_ == nullptr) return Error::ResolverFailed;
        ub_ctx* ctx = r->ctx_;
        // Threads, not the default forked process; must precede the first lookup.
        if (ub_ctx_async(ctx, 1) != 0) return Error::ResolverFailed;
        // libunbound's own diagnostics would come between our log lines in
        // a format of their own; its failures reach us as named errors.
        r->quiet_ = std::fopen("/dev/null", "w");
        if (r->quiet_ == nullptr || ub_ctx_debugout(ctx, r->quiet_) != 0)
            return Error::ResolverFailed;
        for (const auto& opt : kOptions)
            if (ub_ctx_set_option(ctx, opt[0], opt[1]) != 0) return Error::ResolverFailed;
        const std::string max_rtt = std::to_string(config.max_rtt_ms);
        if (ub_ctx_set_option(ctx, "infra-cache-max-rtt:", max_rtt.c_str()) != 0)
            return Error::InvalidArgs;
        std::string addr;
        for (const std::string& ns : config.nameservers) {
            if (!split_nameserver(ns, addr)) return Error::InvalidAddress;
            if (ub_ctx_set_fwd(ctx, ns.c_str()) != 0) return Error::InvalidAddress;
        }
        if (config.nameservers.empty()) {
            const int err = ub_ctx_resolvconf(ctx, config.resolv_conf.c_str());
            if (err == UB_READFILE) return Error::FileNotFound;
            if (err != 0) return error_of_ub(err);
        }
        if (config.dnssec && !config.trust_anchor.empty()) {
            if (!readable(config.trust_anchor)) return Error::NoTrustAnchor;
            r->trust_anchor_ = config.trust_anchor;
        } else if (config.dnssec) {
            for (std::string_view path : kSystemTrustAnchors) {
                if (!readable(std::string(path))) continue;
                r->trust_anchor_ = path;
                break;
            }
        }
        if (!r->trust_anchor_.empty()) {
            if (ub_ctx_add_ta_file(ctx, r->trust_anchor_.c_str()) != 0) return Error::NoTrustAnchor;
            r->validating_ = true;
        }
        // libunbound reads the anchor and checks its settings on the first
        // lookup; "localhost" is answered from its built-in data without
        // sending anything, so a broken anchor shows here and not later.
        ub_result* probe = nullptr;
        const int err = ub_resolve(ctx, "localhost.", kDnsTypeA, kClassIn, &probe);
        if (probe != nullptr) ub_resolve_free(probe);
        if (err == 0) return r;
        if (!r->validating_) return error_of_ub(err);
        if (!config.trust_anchor.empty()) return Error::NoTrustAnchor;
        // The system's root key is unusable: as without one.
        ResolverConfig without = config;
        without.dnssec = false;
        return create(without);
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Resolver::~Resolver() {
    // Stops libunbound's thread; the lookups still in flight are dropped
    // without their callbacks.
    if (ctx_ != nullptr) ub_ctx_delete(ctx_);
    if (quiet_ != nullptr) std::fclose(quiet_);
}

int Resolver::fd() const {
    return ub_fd(ctx_);
}

Result<void> Resolver::process() {
    const int err = ub_process(ctx_);
    if (err != 0) return error_of_ub(err);
    return {};
}

Result<DnsLookupId> Resolver::lookup(std::string_view name, DnsQuery type, DnsCallback callback) {
    if (name.size() >= kDnsNameSize) return Error::NameTooLong;
    if (name.empty() || name.find('\0') != std::string_view::npos) return Error::InvalidArgs;
    try {
        auto p = std::make_unique<Pending>();
        p->owner = this;
        p->id = next_id_;
        p->type = type;
        p->callback = std::move(callback);
        const std::string qname(name);
        Pending& slot = *pending_.emplace(next_id_, std::move(p)).first->second;
        const int err = ub_resolve_async(ctx_, qname.c_str(), rr_type(type), kClassIn, &slot,
                                         &Resolver::on_result, &slot.async_id);
        if (err != 0) {
            pending_.erase(slot.id);
            return error_of_ub(err);
        }
        return next_id_++;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

Result<DnsLookupId> Resolver::lookup_srv(std::string_view service, std::string_view domain,
                                         DnsCallback callback) {
    if (service.size() + 1 + domain.size() >= kDnsNameSize) return Error::NameTooLong;
    char name[kDnsNameSize];
    std::memcpy(name, service.data(), service.size());
    name[service.size()] = '.';
    std::memcpy(name + service.size() + 1, domain.data(), domain.size());
    return lookup({name, service.size() + 1 + domain.size()}, DnsQuery::srv, std::move(callback));
}

Result<DnsLookupId> Resolver::lookup_tlsa(uint16_t port, std::string_view host,
                                          DnsCallback callback) {
    auto name = tlsa_query_name(port, host);
    if (!name) return name.error();
    return lookup(*name, DnsQuery::tlsa, std::move(callback));
}

void Resolver::cancel(DnsLookupId id) {
    auto it = pending_.find(id);
    if (it == pending_.end()) return;
    // In threaded mode the query is only marked: its answer, when it comes,
    // is dropped by libunbound, and its id is not reused before that.
    if (ub_cancel(ctx_, it->second->async_id) == 0) {
        pending_.erase(it);
        return;
    }
    // libunbound may still answer it: kept, silenced, until it does.
    it->second->callback = nullptr;
}

void Resolver::on_result(void* arg, int err, ub_result* result) {
    auto* p = static_cast<Pending*>(arg);
    p->owner->finish(p, err, result);
}

namespace {

struct ResultFree {
    void operator()(ub_result* r) const { ub_resolve_free(r); }
};

void add_addresses(const ub_result& r, DnsQuery type, std::vector<DnsAddress>& out) {
    for (size_t i = 0; r.data != nullptr && r.data[i] != nullptr; ++i) {
        DnsAddress a;
        if (type == DnsQuery::a && r.len[i] == sizeof(in_addr)) {
            auto* sin = reinterpret_cast<sockaddr_in*>(&a.addr);
            sin->sin_family = AF_INET;
            std::memcpy(&sin->sin_addr, r.data[i], sizeof(in_addr));
            a.len = sizeof(sockaddr_in);
        } else if (type == DnsQuery::aaaa && r.len[i] == sizeof(in6_addr)) {
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.addr);
            sin6->sin6_family = AF_INET6;
            std::memcpy(&sin6->sin6_addr, r.data[i], sizeof(in6_addr));
            a.len = sizeof(sockaddr_in6);
        } else {
            continue;
        }
        out.push_back(a);
    }
}

// The records of R, whose lookup was for TYPE, into ANSWER.
void fill_answer(const ub_result& r, DnsQuery type, DnsAnswer& answer) {
    if (r.bogus) {
        answer.outcome = DnsOutcome::failed;
        answer.security = DnsSecurity::bogus;
        if (r.why_bogus != nullptr) answer.why_bogus = r.why_bogus;
        return;
    }
    answer.security = r.secure ? DnsSecurity::secure : DnsSecurity::insecure;
    if (!r.havedata) {
        answer.outcome = r.nxdomain     ? DnsOutcome::nxdomain
                         : r.rcode == 0 ? DnsOutcome::no_data
                                        : DnsOutcome::failed;
        return;
    }
    answer.outcome = DnsOutcome::records;
    const std::span<const uint8_t> packet(static_cast<const uint8_t*>(r.answer_packet),
                                          r.answer_packet ? static_cast<size_t>(r.answer_len) : 0);
    switch (type) {
        case DnsQuery::srv: {
            auto records = parse_srv_answer(packet);
            if (!records) break;
            answer.srv = std::move(*records);
            sort_srv_records(answer.srv);
            return;
        }
        case DnsQuery::tlsa: {
            auto records = parse_tlsa_answer(packet);
            if (!records) break;
            answer.tlsa = std::move(*records);
            return;
        }
        case DnsQuery::a:
        case DnsQuery::aaaa:
            add_addresses(r, type, answer.addresses);
            return;
    }
    answer.outcome = DnsOutcome::failed;  // an answer our walkers cannot read
}

}  // namespace

void Resolver::finish(Pending* p, int err, ub_result* result) {
    std::unique_ptr<ub_result, ResultFree> owned(result);
    auto it = pending_.find(p->id);
    if (it == pending_.end()) return;  // cancelled (libunbound drops those itself)
    std::unique_ptr<Pending> done = std::move(it->second);
    pending_.erase(it);
    DnsAnswer answer;
    try {
        if (err == 0 && result != nullptr) fill_answer(*result, done->type, answer);
    } catch (const std::bad_alloc&) {
        answer = DnsAnswer{};  // no memory for the records: no usable answer
    }
    if (done->callback) done->callback(std::move(answer));
}

}  // namespace fenra::s2s
