// dns_probe: runs the network layer's lookups and DANE checks against the
// resolver of the namespace it is started in, printing one line per result.
//
//   dns_probe srv NAME                 srv PRIORITY WEIGHT PORT TARGET
//   dns_probe targets DOMAIN           target HOST PORT tls|starttls
//   dns_probe tlsa PORT HOST           tlsa USAGE SELECTOR MATCHING HEXDATA
//   dns_probe dane-out HOST PORT DOMAIN PEER_CHAIN PEER_KEY
//       a TLS peer presenting PEER_CHAIN is checked as an outbound target
//       HOST:PORT of DOMAIN: status none|verified|failed
//   dns_probe dane-in DOMAIN PEER_CHAIN PEER_KEY OWN_CHAIN OWN_KEY
//       an inbound peer claiming DOMAIN presents PEER_CHAIN as its client
//       certificate: inbound verified|not-verified
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
// Errors print "error NAME". The check procedures write their own log lines
// on standard error.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
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
#include "s2s/net/tls_context.h"
#include "tests/net/test_certs.h"

namespace fenra::s2s {
namespace {

int fail(Error e) {
    std::printf("error %s\n", std::string(error_name(e)).c_str());
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: dns_probe srv|targets|tlsa|dane-out|dane-in ARGS...\n");
    return 2;
}

bool parse_port(std::string_view s, uint16_t& port) {
    auto r = std::from_chars(s.data(), s.data() + s.size(), port);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
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

// A TLS connection over a socket pair: CLIENT_CTX on one end, SERVER_CTX on
// the other, SNI DOMAIN. False when the handshake fails.
bool tls_pair(SSL_CTX* client_ctx, SSL_CTX* server_ctx, std::string_view domain, TlsConn& client,
              TlsConn& server) {
    auto pair = test::socket_pair();
    client.fd = pair.a;
    server.fd = pair.b;
    return tls_server_attach(server, server_ctx) && tls_client_attach(client, client_ctx, domain) &&
           test::drive_handshake(client, server);
}

int dane_out(std::string_view host, uint16_t port, std::string_view domain, const char* chain,
             const char* key) {
    auto server_ctx = create_server_tls_context(chain, key);
    if (!server_ctx) return fail(server_ctx.error());
    auto client_ctx = create_client_tls_context(std::nullopt, std::nullopt);
    if (!client_ctx) return fail(client_ctx.error());
    test::CtxPtr s(*server_ctx), c(*client_ctx);
    TlsConn client, server;
    if (!tls_pair(c.get(), s.get(), domain, client, server)) return fail(Error::HandshakeFailed);
    const DaneStatus st = dane_check_outbound(client, host, port, domain);
    std::printf("status %s\n", st == DaneStatus::verified ? "verified"
                               : st == DaneStatus::failed ? "failed"
                                                          : "none");
    tls_close(client);
    tls_close(server);
    return 0;
}

int dane_in(std::string_view domain, const char* peer_chain, const char* peer_key,
            const char* own_chain, const char* own_key) {
    auto server_ctx = create_server_tls_context(own_chain, own_key);
    if (!server_ctx) return fail(server_ctx.error());
    auto client_ctx = create_client_tls_context(peer_chain, peer_key);
    if (!client_ctx) return fail(client_ctx.error());
    test::CtxPtr s(*server_ctx), c(*client_ctx);
    TlsConn client, server;
    if (!tls_pair(c.get(), s.get(), "b.test", client, server)) return fail(Error::HandshakeFailed);
    std::printf("inbound %s\n", dane_check_inbound(server, domain) ? "verified" : "not-verified");
    tls_close(client);
    tls_close(server);
    return 0;
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
    auto found = lookup.find(argv[i], [&](TargetsOutcome o) {
        std::printf("outcome %s\n", o == TargetsOutcome::found ? "found" : "bogus");
        auto started = lookup.resolve_all(print_targets);
        if (!started || !*started) print_targets();
    });
    if (!found) return fail(found.error());
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
    if (argc < 3) return usage();
    const std::string_view cmd = argv[1];
    if (cmd == "srv" && argc == 3) {
        auto r = query_srv(argv[2]);
        if (!r) return fail(r.error());
        for (const SrvRecord& s : *r)
            std::printf("srv %u %u %u %s\n", s.priority, s.weight, s.port, s.target.c_str());
        return 0;
    }
    if (cmd == "targets" && argc == 3) {
        auto r = resolve_targets(argv[2]);
        if (!r) return fail(r.error());
        for (const SrvTarget& t : *r)
            std::printf("target %s %u %s\n", t.host.c_str(), t.port,
                        t.direct_tls ? "tls" : "starttls");
        return 0;
    }
    uint16_t port = 0;
    if (cmd == "tlsa" && argc == 4 && parse_port(argv[2], port)) {
        auto r = query_tlsa(port, argv[3]);
        if (!r) return fail(r.error());
        for (const TlsaRecord& t : *r)
            std::printf("tlsa %u %u %u %s\n", t.usage, t.selector, t.matching_type,
                        hex(t.data).c_str());
        return 0;
    }
    if (cmd == "dane-out" && argc == 7 && parse_port(argv[3], port))
        return dane_out(argv[2], port, argv[4], argv[5], argv[6]);
    if (cmd == "dane-in" && argc == 7) return dane_in(argv[2], argv[3], argv[4], argv[5], argv[6]);
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
