#include "s2s/net/target_lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "runtime/log.h"

namespace fenra::s2s {
namespace {

constexpr std::string_view kScope = "fenra-s2s";

// The address of an IPv4 or IPv6 literal host (a domain may be one), with PORT.
bool literal_address(const std::string& host, uint16_t port, DnsAddress& out) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.addr);
    if (inet_pton(AF_INET6, host.c_str(), &sin6->sin6_addr) == 1) {
        sin6->sin6_family = AF_INET6;
        out.len = sizeof(sockaddr_in6);
    } else {
        auto* sin = reinterpret_cast<sockaddr_in*>(&out.addr);
        if (inet_pton(AF_INET, host.c_str(), &sin->sin_addr) != 1) return false;
        sin->sin_family = AF_INET;
        out.len = sizeof(sockaddr_in);
    }
    out.set_port(port);
    return true;
}

Target make_target(std::string host, uint16_t port, bool direct, DnsSecurity srv) {
    Target t{std::move(host), port, direct, srv, false, false, {}};
    DnsAddress a;
    if (literal_address(t.host, port, a)) {
        t.addresses.push_back(a);
        t.resolved = t.literal = true;
    }
    return t;
}

bool secure_denial(const DnsAnswer& a) {
    return a.security == DnsSecurity::secure &&
           (a.outcome == DnsOutcome::no_data || a.outcome == DnsOutcome::nxdomain);
}

void log_answer(std::string_view what, std::string_view name, const DnsAnswer& a) {
    if (a.security == DnsSecurity::bogus)
        log::warn(kScope, {what, " ", name, ": bogus (", a.why_bogus, ")"});
    else
        log::info(kScope, {what, " ", name, ": ", dns_outcome_name(a.outcome), " (",
                           dns_security_name(a.security), ")"});
}

}  // namespace

TargetsOutcome targets_from_srv(std::string_view domain, DnsAnswer& direct, DnsAnswer& starttls,
                                std::vector<Target>& out) {
    out.clear();
    if (direct.security == DnsSecurity::bogus || starttls.security == DnsSecurity::bogus)
        return TargetsOutcome::bogus;
    try {
        for (DnsAnswer* a : {&direct, &starttls})
            for (SrvRecord& rec : a->srv) {
                if (out.size() == kMaxTargets) break;
                out.push_back(
                    make_target(std::move(rec.target), rec.port, a == &direct, a->security));
            }
        if (out.empty()) {
            const bool secure = secure_denial(direct) && secure_denial(starttls);
            out.push_back(make_target(std::string(domain), kDefaultS2sPort, false,
                                      secure ? DnsSecurity::secure : DnsSecurity::insecure));
        }
    } catch (const std::bad_alloc&) {
        out.clear();  // no memory for the list: no target can be tried
        return TargetsOutcome::bogus;
    }
    return TargetsOutcome::found;
}

std::string address_text(const DnsAddress& a) {
    const uint16_t port =
        ntohs(a.family() == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&a.addr)->sin6_port
                                     : reinterpret_cast<const sockaddr_in*>(&a.addr)->sin_port);
    std::string host = a.text();
    if (a.family() == AF_INET6) host = "[" + host + "]";
    return host + ":" + std::to_string(port);
}

Result<DnsLookupId> TargetLookup::start(std::string_view name, DnsQuery type,
                                        DnsCallback callback) {
    try {
        started_.reserve(started_.size() + 1);
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    auto id = resolver_.lookup(name, type, std::move(callback));
    if (!id) return id.error();
    started_.push_back(*id);
    ++pending_;
    return id;
}

void TargetLookup::cancel() {
    for (DnsLookupId id : started_)
        resolver_.cancel(id);
    started_.clear();
    pending_ = 0;
    srv_left_ = 0;
    targets_done_ = nullptr;
    for (AddressStep& step : address_steps_)
        step = AddressStep{};
}

Result<bool> TargetLookup::find(std::string_view domain, TargetsDone done) {
    cancel();
    try {
        domain_.assign(domain);
        targets_.clear();
        Target t = make_target(domain_, kDefaultS2sPort, false, DnsSecurity::insecure);
        if (t.resolved) {
            targets_.push_back(std::move(t));
            address_steps_.resize(1);
            return false;
        }
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    for (const bool direct : {true, false}) {
        const std::string_view service = direct ? kDirectTlsService : kStartTlsService;
        if (service.size() + 1 + domain.size() >= kDnsNameSize) {
            cancel();
            return Error::NameTooLong;
        }
        char name[kDnsNameSize];
        std::memcpy(name, service.data(), service.size());
        name[service.size()] = '.';
        std::memcpy(name + service.size() + 1, domain.data(), domain.size());
        auto id = start({name, service.size() + 1 + domain.size()}, DnsQuery::srv,
                        [this, direct](DnsAnswer&& a) { on_srv(direct, std::move(a)); });
        if (!id) {
            cancel();
            return id.error();
        }
    }
    srv_left_ = 2;
    targets_done_ = std::move(done);
    return true;
}

void TargetLookup::on_srv(bool direct, DnsAnswer&& answer) {
    --pending_;
    srv_[direct ? 0 : 1] = std::move(answer);
    if (--srv_left_ > 0) return;
    TargetsDone done = std::move(targets_done_);
    targets_done_ = nullptr;
    TargetsOutcome outcome = TargetsOutcome::bogus;
    try {
        for (const bool d : {true, false}) {
            const std::string_view service = d ? kDirectTlsService : kStartTlsService;
            log_answer("SRV", std::string(service) + "." + domain_, srv_[d ? 0 : 1]);
        }
        outcome = targets_from_srv(domain_, srv_[0], srv_[1], targets_);
        address_steps_.resize(targets_.size());
    } catch (const std::bad_alloc&) {
        targets_.clear();
        outcome = TargetsOutcome::bogus;
    }
    srv_[0] = DnsAnswer{};
    srv_[1] = DnsAnswer{};
    done(outcome);
}

Result<bool> TargetLookup::resolve(size_t index, AddressesDone done) {
    if (index >= targets_.size()) return Error::InvalidArgs;
    Target& t = targets_[index];
    if (t.resolved || address_steps_[index].left > 0) return false;
    if (t.host == ".") {
        t.resolved = true;
        return false;
    }
    AddressStep& step = address_steps_[index];
    for (const DnsQuery type : {DnsQuery::aaaa, DnsQuery::a}) {
        auto id = start(t.host, type, [this, index, type](DnsAnswer&& a) {
            AddressStep& s = address_steps_[index];
            (type == DnsQuery::aaaa ? s.aaaa : s.a) = std::move(a);
            on_address(index);
        });
        if (!id) {
            if (step.left > 0) {  // the AAAA lookup is dropped again
                resolver_.cancel(started_.back());
                --pending_;
            }
            step = AddressStep{};
            return id.error();
        }
        ++step.left;
    }
    step.done = std::move(done);
    return true;
}

void TargetLookup::on_address(size_t index) {
    --pending_;
    AddressStep& step = address_steps_[index];
    if (--step.left > 0) return;
    Target& t = targets_[index];
    t.resolved = true;
    try {
        for (DnsAnswer* a : {&step.aaaa, &step.a}) {
            log_answer(a == &step.aaaa ? "AAAA" : "A", t.host, *a);
            for (DnsAddress& addr : a->addresses) {
                addr.set_port(t.port);
                t.addresses.push_back(addr);
            }
        }
    } catch (const std::bad_alloc&) {
        t.addresses.clear();  // skipped like a name without addresses
    }
    AddressesDone done = std::move(step.done);
    step = AddressStep{};
    if (done) done(index);
}

Result<bool> TargetLookup::resolve_all(AllDone done) {
    // One shared countdown; each target's own callback ticks it.
    auto left = std::make_shared<size_t>(0);
    auto all = std::make_shared<AllDone>(std::move(done));
    for (size_t i = 0; i < targets_.size(); ++i) {
        auto started = resolve(i, [left, all](size_t) {
            if (--*left == 0) (*all)();
        });
        if (!started) {
            cancel();
            return started.error();
        }
        if (*started) ++*left;
    }
    return *left > 0;
}

Result<bool> TargetLookup::tlsa(size_t index, TlsaDone done) {
    if (index >= targets_.size()) return Error::InvalidArgs;
    const Target& t = targets_[index];
    if (t.literal) return false;
    if (!dane_tlsa_wanted(t.srv_security)) {
        log::info(kScope, {"no DANE for ", t.host, ":", t.port, ": the SRV answer for ", domain_,
                           " is ", dns_security_name(t.srv_security)});
        return false;
    }
    const DnsSecurity srv = t.srv_security;
    auto name = tlsa_query_name(t.port, t.host);
    if (!name) return name.error();
    const std::string_view qname = *name;  // the closure's copy below is made first
    auto id = start(qname, DnsQuery::tlsa,
                    [this, srv, name = *name, done = std::move(done)](DnsAnswer&& a) mutable {
                        --pending_;
                        const DaneTlsa use = dane_tlsa_use(srv, a.security, a.outcome);
                        log_answer("TLSA", name, a);
                        log::info(kScope, {"TLSA records of ", name, ": ", dane_tlsa_name(use)});
                        if (use != DaneTlsa::usable) a.tlsa.clear();
                        // DONE may destroy this object, and with it this closure.
                        TlsaDone call = std::move(done);
                        call(use, std::move(a.tlsa));
                    });
    if (!id) return id.error();
    return true;
}

Result<bool> TargetLookup::peer_tlsa(std::string_view domain, TlsaDone done) {
    return find(domain, [this, done = std::move(done)](TargetsOutcome o) mutable {
        TlsaDone call = std::move(done);
        if (o == TargetsOutcome::bogus) return call(DaneTlsa::failed, {});
        auto asked = tlsa(0, call);
        if (!asked) return call(DaneTlsa::failed, {});  // no lookup: nothing proven
        if (!*asked) call(DaneTlsa::none, {});
    });
}

}  // namespace fenra::s2s
