// dns_probe: runs the network layer's asynchronous resolver and target
// lookup against nameservers of the namespace it is started in, printing one
// line per result.
//
//   dns_probe resolve [-s ADDR[@PORT]]... [-t ANCHOR | -n] LOOKUP... [-- LOOKUP...]...
//       the asynchronous resolver with these nameservers and trust anchor
//       (-n: none) starts the LOOKUPs up to "--" at once and runs a poll
//       loop; the callback of the last answer of a group starts the next
//       group, until none is left; LOOKUP is
//       TYPE:NAME (TYPE srv, tlsa, a or aaaa), or
//       cancel:TYPE:NAME for one cancelled right after it started. One line
//       per answer, in the order they come:
//       TYPE NAME OUTCOME SECURITY pending=N [RECORD...]
//       (N: lookups still pending then), a cancelled lookup's callback
//       "called-back NAME", then "done".
//   dns_probe find [-s ADDR[@PORT]]... [-t ANCHOR | -n] [-c TIMEOUT_MS] DOMAIN
//       the target lookup of DOMAIN: "outcome found|bogus", then per target
//       "target HOST PORT tls|starttls SRV_SECURITY ADDRESS...", then per
//       target "tlsa HOST PORT none|usable|failed N" (N records) or
//       "tlsa HOST PORT not-asked"; with -c, Happy Eyeballs over the targets
//       in order until one connects: "connected HOST ADDRESS" or
//       "connect HOST failed REASON" for each that did not.
//
// Errors print "error NAME". find's lookups write their log lines on
// standard error.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/event_loop.h"
#include "s2s/net/dane.h"
#include "s2s/net/dns.h"
#include "s2s/net/happy_eyeballs.h"
#include "s2s/net/resolver.h"
#include "s2s/net/target_lookup.h"

namespace fenra::s2s {
namespace {

int fail(Error e) {
    std::printf("error %s\n", std::string(error_name(e)).c_str());
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: dns_probe resolve|find ARGS...\n");
    return 2;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool parse_query(std::string_view s, DnsQuery& type) {
    static constexpr std::pair<std::string_view, DnsQuery> kTypes[] = {{"srv", DnsQuery::srv},
                                                                       {"tlsa", DnsQuery::tlsa},
                                                                       {"a", DnsQuery::a},
                                                                       {"aaaa", DnsQuery::aaaa}};
    for (const auto& [name, t] : kTypes)
        if (s == name) type = t;
    return s == "srv" || s == "tlsa" || s == "a" || s == "aaaa";
}

void print_answer(std::string_view type, std::string_view name, const DnsAnswer& a,
                  size_t pending) {
    std::string line = std::string(type) + " " + std::string(name) + " " +
                       std::string(dns_outcome_name(a.outcome)) + " " +
                       std::string(dns_security_name(a.security)) +
                       " pending=" + std::to_string(pending);
    for (const SrvRecord& s : a.srv)
        line += " " + std::to_string(s.priority) + "/" + std::to_string(s.weight) + "/" +
                std::to_string(s.port) + "/" + s.target;
    for (const TlsaRecord& t : a.tlsa)
        line += " " + std::to_string(t.usage) + "/" + std::to_string(t.selector) + "/" +
                std::to_string(t.matching_type) + "/" + hex(t.data);
    for (const DnsAddress& d : a.addresses)
        line += " " + d.text();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The options -s, -t, -n (and -c: CONNECT_MS) from argv[2] on; returns the
// index of the first other argument.
int resolver_options(int argc, char** argv, ResolverConfig& config, uint64_t* connect_ms) {
    int i = 2;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        const std::string_view opt = argv[i];
        if (opt == "-s") config.nameservers.emplace_back(argv[i + 1]);
        if (opt == "-t") config.trust_anchor = argv[i + 1];
        if (opt == "-c" && connect_ms != nullptr) *connect_ms = std::stoull(argv[i + 1]);
        if (opt == "-n") {
            config.dnssec = false;
            --i;
        }
    }
    return i;
}

// Hands the resolver its finished lookups whenever its descriptor is readable.
class ResolverEvents : public LoopHandler {
  public:
    explicit ResolverEvents(Resolver& r) : r_(r) {}
    void on_event(const LoopEvent&) override { (void)r_.process(); }

  private:
    Resolver& r_;
};

int find(int argc, char** argv) {
    ResolverConfig config;
    uint64_t connect_ms = 0;
    const int i = resolver_options(argc, argv, config, &connect_ms);
    if (i + 1 != argc) return usage();
    auto resolver = Resolver::create(config);
    if (!resolver) return fail(resolver.error());
    auto loop = EventLoop::create(16);
    if (!loop) return fail(loop.error());
    Resolver& r = **resolver;
    ResolverEvents events(r);
    if (auto ok = (*loop)->add(r.fd(), events); !ok) return fail(ok.error());
    TargetLookup lookup(r);
    HappyEyeballs he(**loop);
    bool done = false;
    size_t next = 0;  // the target being connected
    std::function<void()> try_next = [&] {
        const auto& ts = lookup.targets();
        while (next < ts.size() && ts[next].addresses.empty())
            std::printf("connect %s failed no-address\n", ts[next++].host.c_str());
        if (next == ts.size()) {
            done = true;
            return;
        }
        (void)he.start(ts[next].addresses, connect_ms, [&](ConnectOutcome&& o) {
            const char* host = lookup.targets()[next++].host.c_str();
            if (o.fd < 0) {
                std::printf("connect %s failed %s\n", host,
                            std::string(connect_failure_name(o.failure)).c_str());
                return try_next();
            }
            std::printf("connected %s %s\n", host, address_text(o.address).c_str());
            close(o.fd);
            done = true;
        });
    };
    size_t tlsa_left = 0;
    auto after_tlsa = [&] {
        if (connect_ms == 0)
            done = true;
        else
            try_next();
    };
    auto print_targets = [&] {
        for (const Target& t : lookup.targets()) {
            std::string line = "target " + t.host + " " + std::to_string(t.port) +
                               (t.direct_tls ? " tls " : " starttls ") +
                               std::string(dns_security_name(t.srv_security));
            for (const DnsAddress& a : t.addresses)
                line += " " + a.text();
            std::printf("%s\n", line.c_str());
        }
        for (size_t k = 0; k < lookup.targets().size(); ++k) {
            const Target& t = lookup.targets()[k];
            auto asked = lookup.tlsa(k, [&, k](DaneTlsa use, std::vector<TlsaRecord>&& recs) {
                const Target& t = lookup.targets()[k];
                std::printf("tlsa %s %u %s %zu\n", t.host.c_str(), t.port,
                            std::string(dane_tlsa_name(use)).c_str(), recs.size());
                if (--tlsa_left == 0) after_tlsa();
            });
            if (!asked)
                std::printf("error %s\n", std::string(error_name(asked.error())).c_str());
            else if (*asked)
                ++tlsa_left;
            else
                std::printf("tlsa %s %u not-asked\n", t.host.c_str(), t.port);
        }
        if (tlsa_left == 0) after_tlsa();
    };
    auto on_found = [&](TargetsOutcome o) {
        std::printf("outcome %s\n", o == TargetsOutcome::found ? "found" : "bogus");
        auto started = lookup.resolve_all(print_targets);
        if (!started || !*started) print_targets();
    };
    auto found = lookup.find(argv[i], on_found);
    if (!found) return fail(found.error());
    if (!*found) on_found(TargetsOutcome::found);  // an address literal
    while (!done)
        if (auto ok = (*loop)->run_once(); !ok) return fail(ok.error());
    std::printf("done\n");
    return 0;
}

int resolve(int argc, char** argv) {
    ResolverConfig config;
    int i = resolver_options(argc, argv, config, nullptr);
    auto resolver = Resolver::create(config);
    if (!resolver) return fail(resolver.error());
    Resolver& r = **resolver;
    std::printf("validating %s\n", r.validating() ? "yes" : "no");
    Result<void> failed;
    // Starts the group of lookups from argv[i] to the next "--"; the answer
    // that completes it starts the next group from inside its callback.
    std::function<void(int)> start = [&](int i) {
        for (; i < argc && std::string_view(argv[i]) != "--"; ++i) {
            std::string_view item = argv[i];
            const bool cancel = item.starts_with("cancel:");
            if (cancel) item.remove_prefix(7);
            const size_t colon = item.find(':');
            DnsQuery type{};
            if (colon == std::string_view::npos || !parse_query(item.substr(0, colon), type)) {
                failed = Error::InvalidArgs;
                return;
            }
            const std::string_view name = item.substr(colon + 1);
            const std::string_view tname = item.substr(0, colon);
            const int next = i + 1;
            auto id = r.lookup(name, type, [&, cancel, name, tname, next](DnsAnswer&& a) {
                if (cancel) std::printf("called-back %s\n", std::string(name).c_str());
                print_answer(tname, name, a, r.pending());
                if (r.pending() > 0) return;
                int k = next;
                while (k < argc && std::string_view(argv[k]) != "--")
                    ++k;
                if (k < argc) start(k + 1);
            });
            if (!id) {
                failed = id.error();
                return;
            }
            if (cancel) r.cancel(*id);
        }
    };
    start(i);
    while (failed && r.pending() > 0) {
        pollfd p{r.fd(), POLLIN, 0};
        if (poll(&p, 1, -1) < 0) return fail(Error::Unexpected);
        if (auto ok = r.process(); !ok) return fail(ok.error());
    }
    if (!failed) return fail(failed.error());
    std::printf("done\n");
    return 0;
}

int run(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "resolve") return resolve(argc, argv);
    if (argc >= 2 && std::string_view(argv[1]) == "find") return find(argc, argv);
    return usage();
}

}  // namespace
}  // namespace fenra::s2s

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const int rc = fenra::s2s::run(argc, argv);
    std::fflush(stdout);
    return rc;
}
