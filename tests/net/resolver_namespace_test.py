#!/usr/bin/env python3
"""The asynchronous validating resolver against real nameservers.

Inside a private network namespace (tests/lib/netns.py): NSD serves test.
(signed, its DS the trust anchor), insecure.test. (unsigned) and bogus.test.
(broken signatures); a nameserver that never answers sits behind dnsmasq for
slow.test. dns_probe runs the resolver in a poll loop and prints one line per
answer in the order they come (see tests/net/dns_probe.cc).
"""

import os
import shutil
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
    p = subprocess.run([PROBE, "resolve"] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    if p.returncode != 0 or p.stderr:
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
