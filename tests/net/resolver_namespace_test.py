#!/usr/bin/env python3
"""The asynchronous validating resolver against real nameservers.

Inside a private network namespace (tests/lib/netns.py): NSD serves test.
(signed, its DS the trust anchor), insecure.test. (unsigned) and bogus.test.
(broken signatures); a nameserver that never answers sits behind dnsmasq for
slow.test. dns_probe runs the resolver in a poll loop and prints one line per
answer in the order they come, or runs the target lookup and Happy Eyeballs
(see tests/net/dns_probe.cc).
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402

netns.enter()

PROBE = os.path.join(os.environ["FENRA_BUILD"], "tests", "net", "dns_probe")
NSD = ["-s", netns.NSD_ADDRESSES[0]]
TLSA = bytes(range(32))

failures = []


def resolve(*args):
    return resolve_cmd("resolve", *args)


def resolve_cmd(cmd, *args):
    p = subprocess.run([PROBE, cmd] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    # find writes the log lines of the lookups.
    if p.returncode != 0 or (p.stderr and cmd != "find"):
        failures.append("dns_probe %s: status %d\n%s" % (args, p.returncode, p.stderr.decode()))
    return p.stdout.decode().splitlines()


def check(what, got, want):
    if got != want:
        failures.append("%s:\n    got  %r\n    want %r" % (what, got, want))


def without_pending(lines):
    """The lines in sorted order, without pending=N, addresses sorted."""
    out = []
    for line in lines:
        words = [w for w in line.split() if not w.startswith("pending=")]
        if words[0] in ("a", "aaaa"):
            words[4:] = sorted(words[4:])
        out.append(" ".join(words))
    return sorted(out)


def world(zones):
    for zone, sec in (("test", "a.test"), ("insecure.test", "a.insecure.test"),
                      ("bogus.test", "a.bogus.test")):
        z = zones[zone]
        z.srv("_xmpp-server._tcp." + sec, "xmpp." + sec, 5269, priority=1)
        z.srv("_xmpp-server._tcp." + sec, "backup." + sec, 5270, priority=0, weight=5)
        z.a("xmpp." + sec, "127.0.0.2", "127.0.0.3").aaaa("xmpp." + sec, "::2")
        z.tlsa(5269, "xmpp." + sec, 3, 1, 1, TLSA)


    t = zones["test"]
    t.srv("_xmpps-server._tcp.a.test", "tls.a.test", 5223).a("tls.a.test", "127.0.0.4")
    t.a("nosrv.test", "127.0.0.7")
    # A secure SRV answer naming targets in the unsigned and the broken zone.
    t.srv("_xmpp-server._tcp.mixed.test", "xmpp.a.bogus.test", 5269, priority=0)
    t.srv("_xmpp-server._tcp.mixed.test", "xmpp.a.insecure.test", 5269, priority=1)
    # Happy Eyeballs: a refused target first, then one whose IPv6 address
    # never answers; one target with IPv6 only; one that never answers.
    t.srv("_xmpp-server._tcp.he.test", "refused.test", HE_PORT + 1, priority=0)
    t.srv("_xmpp-server._tcp.he.test", "he.test", HE_PORT, priority=1)
    t.a("refused.test", "127.0.0.1").a("he.test", "127.0.0.1").aaaa("he.test", "::1")
    t.srv("_xmpp-server._tcp.v6only.test", "v6only.test", HE_PORT + 2).aaaa("v6only.test", "::1")
    t.srv("_xmpp-server._tcp.silent.test", "silent.test", HE_PORT).aaaa("silent.test", "::1")


HE_PORT = 7000


def lookups(domain):
    return ["srv:_xmpp-server._tcp." + domain, "tlsa:_5269._tcp.xmpp." + domain,
            "a:xmpp." + domain, "aaaa:xmpp." + domain]


def answers(domain, verdict):
    if verdict == "bogus":
        return ["%s failed bogus" % q.replace(":", " ") for q in lookups(domain)]
    return ["srv _xmpp-server._tcp.%s records %s 0/5/5270/backup.%s 1/0/5269/xmpp.%s"
            % (domain, verdict, domain, domain),
            "tlsa _5269._tcp.xmpp.%s records %s 3/1/1/%s" % (domain, verdict, TLSA.hex()),
            "a xmpp.%s records %s 127.0.0.2 127.0.0.3" % (domain, verdict),
            "aaaa xmpp.%s records %s ::2" % (domain, verdict)]


def run_checks(anchor, work):
    every = lookups("a.test") + lookups("a.insecure.test") + lookups("a.bogus.test")
    want = answers("a.test", "secure") + answers("a.insecure.test", "insecure") + \
        answers("a.bogus.test", "bogus")
    out = resolve(*NSD, "-t", anchor, *every, "a:none.test", "tlsa:xmpp.a.test",
                  "a:none.insecure.test")
    check("secure, insecure and bogus answers", without_pending(out), sorted(
        ["validating yes", "done", "a none.test nxdomain secure",
         "tlsa xmpp.a.test no-data secure", "a none.insecure.test nxdomain insecure"] + want))

    out = resolve("-s", "::1@53", "-t", anchor, *lookups("a.test"))
    check("over IPv6 to the nameserver", without_pending(out),
          sorted(["validating yes", "done"] + answers("a.test", "secure")))

    out = resolve(*NSD, "-n", *lookups("a.test"), *lookups("a.bogus.test"))
    check("without a trust anchor nothing is secure, nor bogus", without_pending(out),
          sorted(["validating no", "done"] + answers("a.test", "insecure") +
                 answers("a.bogus.test", "insecure")))

    other = os.path.join(work, "other.ds")
    with open(other, "w") as f:
        f.write("test. IN DS 1 13 2 %s\n" % ("ab" * 32))
    out = resolve(*NSD, "-t", other, "a:xmpp.a.test", "a:xmpp.a.insecure.test")
    check("an anchor that matches no key", without_pending(out),
          ["a xmpp.a.insecure.test failed bogus", "a xmpp.a.test failed bogus", "done",
           "validating yes"])
    garbage = os.path.join(work, "garbage.ds")
    with open(garbage, "w") as f:
        f.write("not a record\n")
    for path in (os.path.join(work, "none.ds"), garbage):
        check("an anchor that cannot be read: " + path, resolve(*NSD, "-t", path, "a:a.test"),
              ["error NoTrustAnchor"])
    def find(*args):
        """The lines of dns_probe find: TLSA answers sorted, addresses of
        each family sorted (IPv6 first as given)."""
        lines = [w[:5] + sorted(w[5:], key=lambda a: (":" not in a, a))
                 for w in map(str.split, resolve_cmd("find", *NSD, "-t", anchor, *args))]
        tlsa = iter(sorted(w for w in lines if w[0] == "tlsa"))
        return [" ".join(next(tlsa) if w[0] == "tlsa" else w) for w in lines]

    check("targets with their verdicts", find("a.test"), [
        "outcome found", "target tls.a.test 5223 tls secure 127.0.0.4",
        "target backup.a.test 5270 starttls secure",
        "target xmpp.a.test 5269 starttls secure ::2 127.0.0.2 127.0.0.3",
        "tlsa backup.a.test 5270 none 0", "tlsa tls.a.test 5223 none 0",
        "tlsa xmpp.a.test 5269 usable 1", "done"])
    check("no DANE under an insecure SRV answer", find("a.insecure.test"), [
        "outcome found", "target backup.a.insecure.test 5270 starttls insecure",
        "target xmpp.a.insecure.test 5269 starttls insecure ::2 127.0.0.2 127.0.0.3",
        "tlsa backup.a.insecure.test 5270 not-asked", "tlsa xmpp.a.insecure.test 5269 not-asked",
        "done"])
    check("a bogus SRV answer", find("a.bogus.test"), ["outcome bogus", "done"])
    check("the domain itself under secure denials", find("nosrv.test"), [
        "outcome found", "target nosrv.test 5269 starttls secure 127.0.0.7",
        "tlsa nosrv.test 5269 none 0", "done"])
    check("TLSA answers under a secure SRV answer", find("mixed.test"), [
        "outcome found", "target xmpp.a.bogus.test 5269 starttls secure",
        "target xmpp.a.insecure.test 5269 starttls secure ::2 127.0.0.2 127.0.0.3",
        "tlsa xmpp.a.bogus.test 5269 failed 0", "tlsa xmpp.a.insecure.test 5269 none 0", "done"])

    with netns.SilentPort("::1", HE_PORT), \
            socket.create_server(("127.0.0.1", HE_PORT)), \
            socket.create_server(("::1", HE_PORT + 2), family=socket.AF_INET6):
        check("Happy Eyeballs falls back to IPv4 while IPv6 does not answer",
              find("-c", "10000", "he.test")[-3:],
              ["connect refused.test failed refused", "connected he.test 127.0.0.1:%d" % HE_PORT,
               "done"])
        check("an IPv6-only target", find("-c", "10000", "v6only.test")[-2:],
              ["connected v6only.test [::1]:%d" % (HE_PORT + 2), "done"])
        check("one time-out for all addresses", find("-c", "500", "silent.test")[-2:],
              ["connect silent.test failed timed-out", "done"])

    check("a bad nameserver", resolve("-s", "127.0.0.1@0", "a:a.test"), ["error InvalidAddress"])


def run_stalled(work):
    zone = netns.Zone().a("fast.test", "127.0.0.9").forward("slow.test", netns.STALLED_ADDRESS)
    with netns.StalledServer() as stalled, netns.DnsServer(zone, work):
        # The nameserver of resolv.conf (dnsmasq) passes slow.test on to the
        # stalled server.
        out = resolve("-n", "a:x.slow.test", "a:fast.test", "--", "a:fast.test")
        check("a stalled lookup holds up no other, ends by its time-out, and the "
              "nameserver is still asked after it", out, [
                  "validating no", "a fast.test records insecure pending=1 127.0.0.9",
                  "a x.slow.test failed insecure pending=0",
                  "a fast.test records insecure pending=0 127.0.0.9", "done"])
        check("the stalled server was asked", stalled.queries > 0, True)
        # Cancelled: one answered at once (its answer may already wait in
        # the pipe), one stalled and still in flight when the resolver goes.
        out = resolve("-s", netns.NAMESERVER, "-n", "cancel:a:fast.test", "cancel:a:y.slow.test",
                      "a:fast.test")
        check("cancelled lookups are never called back", out,
              ["validating no", "a fast.test records insecure pending=0 127.0.0.9", "done"])


def main():
    work = tempfile.mkdtemp(prefix="fenra-resolver-", dir="/tmp")
    try:
        zones = netns.dnssec_zones()
        world(zones)
        with netns.Nsd(zones, work) as nsd:
            run_checks(nsd.trust_anchor, work)
            if failures:
                print(nsd.log(), file=sys.stderr)
        run_stalled(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL " + f, file=sys.stderr)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
