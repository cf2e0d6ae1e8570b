#!/usr/bin/env python3
"""SRV and TLSA lookups and both DANE checks against a real DNS server.

Runs inside a private network namespace (tests/lib/netns.py) where dnsmasq
on 127.0.0.53 serves the records below and is the only nameserver. The
dns_probe program runs the network layer's lookups and checks and prints one
line per result; the check procedures' log lines come on its standard error.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402
import testca  # noqa: E402

netns.enter()

PROBE = os.path.join(os.environ["FENRA_BUILD"], "tests", "net", "dns_probe")
EM_DASH = "\u2014"

failures = []
checks = 0


def probe(*args):
    """Runs dns_probe; returns its output lines and its log messages."""
    p = subprocess.run([PROBE] + [str(a) for a in args], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=60)
    out = p.stdout.decode().splitlines()
    messages = []
    for line in p.stderr.decode("utf-8").splitlines():
        # 2026-03-02T09:05:07.042 info(fenra-s2s): message
        head, sep, message = line.partition("): ")
        messages.append((head.split(" ", 1)[-1] + ")", message) if sep else ("?", line))
    if p.returncode != 0:
        raise RuntimeError("dns_probe %s exited %d: %s" % (args, p.returncode, p.stderr.decode()))
    return out, messages


def check(what, got, want):
    global checks
    checks += 1
    if got != want:
        failures.append("%s:\n    got  %r\n    want %r" % (what, got, want))


def main():
    work = tempfile.mkdtemp(prefix="fenra-dns-", dir="/tmp")
    try:
        return run_world(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_world(work):
    ca = testca.TestCA(work)
    b = ca.issue("b.test")
    a = ca.issue("a.test")
    other_b = ca.issue("b.test")
    a_self = testca.self_signed(work, "a.test")
    # Someone else's certificate for b.test, presented with our CA appended.
    rogue_ca = testca.TestCA(work, "Rogue CA")
    rogue = rogue_ca.issue("b.test")
    rogue_chain = os.path.join(work, "rogue-with-victim-ca.pem")
    with open(rogue_chain, "wb") as out:
        for p in (rogue.chain, ca.ca.cert):
            with open(p, "rb") as f:
                out.write(f.read())

    # 235 bytes: the STARTTLS name is 253 bytes, the longest the resolver
    # can ask for; the direct-TLS name (254) is refused by the resolver.
    long_domain = ".".join(["d" * 63, "d" * 63, "d" * 63, "d" * 43])
    assert len(long_domain) == 235

    zone = netns.Zone()
    zone.srv("_xmpp-server._tcp.a.test", "c.a.test", 5269, priority=10, weight=0)
    zone.srv("_xmpp-server._tcp.a.test", "b.a.test", 5269, priority=5, weight=10)
    zone.srv("_xmpp-server._tcp.a.test", "a.a.test", 5270, priority=5, weight=60)
    zone.srv("_xmpps-server._tcp.a.test", "tls.a.test", 5223, priority=20, weight=0)
    zone.srv("_xmpp-server._tcp." + long_domain, "long.test", 5269)
    zone.srv("_xmpp-server._tcp." + long_domain[2:], "long.test", 5269)
    zone.srv("_xmpp-server._tcp.same.test", "one.same.test", 5269, priority=1, weight=1)
    zone.srv("_xmpp-server._tcp.same.test", "two.same.test", 5269, priority=1, weight=1)
    zone.srv("_xmpp-server._tcp.same.test", "three.same.test", 5269, priority=1, weight=1)
    zone.srv("_xmpp-server._tcp.same.test", "first.same.test", 5269, priority=0, weight=0)
    zone.srv_not_offered("_xmpp-server._tcp.none.test")
    zone.a("xmpp.b.test", "127.0.0.2")
    zone.tlsa(5270, "xmpp.b.test", 3, 1, 1, testca.tlsa_data(b, 1, 1))
    zone.tlsa(5270, "xmpp.b.test", 9, 9, 9, b"\x01")
    zone.tlsa(5269, "wrong.b.test", 3, 0, 1, testca.tlsa_data(other_b, 0, 1))
    zone.tlsa(5269, "ca.b.test", 2, 0, 1, testca.tlsa_data(ca.ca, 0, 1))
    zone.tlsa(5269, "sha512.b.test", 3, 1, 2, testca.tlsa_data(b, 1, 2))
    zone.tlsa(5269, "full.b.test", 3, 1, 0, testca.tlsa_data(b, 1, 0))
    zone.tlsa(5269, "unusable.b.test", 4, 1, 1, testca.tlsa_data(b, 1, 1))
    zone.tlsa(5223, "tls.a.test", 3, 1, 1, testca.tlsa_data(a, 1, 1))

    with netns.DnsServer(zone, work, log_queries=True) as dns:
        run_checks(b, a, a_self, rogue, rogue_chain, long_domain)
        if failures:
            print(dns.log(), file=sys.stderr)

    for f in failures:
        print("FAIL " + f, file=sys.stderr)
    print("%d checks, %d failed" % (checks, len(failures)))
    return 1 if failures else 0


def srv_target(rdata):
    labels, pos = [], 6
    while pos < len(rdata) and rdata[pos]:
        labels.append(rdata[pos + 1:pos + 1 + rdata[pos]].decode())
        pos += 1 + rdata[pos]
    return ".".join(labels) or "."


def run_checks(b, a, a_self, rogue, rogue_chain, long_domain):
    out, _ = probe("srv", "_xmpp-server._tcp.a.test")
    check("SRV records sorted by priority, then heavier weight", out, [
        "srv 5 60 5270 a.a.test", "srv 5 10 5269 b.a.test", "srv 10 0 5269 c.a.test"])

    out, _ = probe("targets", "a.test")
    check("direct-TLS targets first, whatever their priority", out, [
        "target tls.a.test 5223 tls", "target a.a.test 5270 starttls",
        "target b.a.test 5269 starttls", "target c.a.test 5269 starttls"])

    out, _ = probe("targets", "nosrv.test")
    check("no SRV records: the domain itself", out, ["target nosrv.test 5269 starttls"])
    out, _ = probe("targets", "elsewhere.example")
    check("a refused lookup counts as no records", out, ["target elsewhere.example 5269 starttls"])

    out, _ = probe("targets", "none.test")
    check("service explicitly not offered: target '.'", [l.split(" ")[1] for l in out], ["."])

    # Equal priority and weight keep the order of the reply.
    wire = [srv_target(rd) for t, rd in netns.query("_xmpp-server._tcp.same.test", 33) if t == 33]
    check("dnsmasq serves all four", sorted(wire), sorted(
        ["one.same.test", "two.same.test", "three.same.test", "first.same.test"]))
    out, _ = probe("srv", "_xmpp-server._tcp.same.test")
    check("equal records in the order of the reply", [l.split(" ")[4] for l in out],
          ["first.same.test"] + [t for t in wire if t != "first.same.test"])

    out, _ = probe("targets", long_domain)
    check("235-byte domain: the STARTTLS name still works", out,
          ["target long.test 5269 starttls"])
    out, _ = probe("targets", long_domain[2:])
    check("233-byte domain: both names asked", out, ["target long.test 5269 starttls"])
    # 237 bytes: the direct-TLS name is 256 bytes and not asked; the 255-byte
    # STARTTLS name is beyond what DNS can carry, so the resolver finds nothing.
    domain_237 = "dd" + long_domain
    out, _ = probe("targets", domain_237)
    check("237-byte domain falls back to itself", out, ["target %s 5269 starttls" % domain_237])
    out, _ = probe("targets", "d" + domain_237)
    check("238-byte domain", out, ["error NameTooLong"])

    wire = ["tlsa %d %d %d %s" % (rd[0], rd[1], rd[2], rd[3:].hex())
            for t, rd in netns.query("_5270._tcp.xmpp.b.test", 52) if t == 52]
    check("dnsmasq serves both TLSA records", sorted(wire), sorted([
        "tlsa 3 1 1 " + testca.tlsa_data(b, 1, 1).hex(), "tlsa 9 9 9 01"]))
    out, _ = probe("tlsa", 5270, "xmpp.b.test")
    check("TLSA records in the order of the reply, values unchecked", out, wire)
    out, _ = probe("tlsa", 5269, "xmpp.b.test")
    check("no TLSA records at another port", out, [])

    def dane_out(host, port, peer, chain=None):
        out, logs = probe("dane-out", host, port, "b.test", chain or peer.chain, peer.key)
        return out, [m for _, m in logs]

    for host, port, want in (("xmpp.b.test", 5270, "verified"), ("sha512.b.test", 5269, "verified"),
                             ("full.b.test", 5269, "verified"), ("ca.b.test", 5269, "verified")):
        out, logs = dane_out(host, port, b)
        check("outbound DANE %s:%d" % (host, port), (out, logs),
              (["status " + want], ["DANE result for b.test: verified"]))

    out, logs = dane_out("wrong.b.test", 5269, b)
    check("outbound DANE, record of another certificate", (out, logs),
          (["status failed"], ["DANE result for b.test: FAILED"]))
    out, logs = dane_out("ca.b.test", 5269, rogue, rogue_chain)
    check("outbound DANE, our CA appended to someone else's chain", (out, logs),
          (["status failed"], ["DANE result for b.test: FAILED"]))
    out, logs = dane_out("unusable.b.test", 5269, b)
    check("outbound DANE, no usable record", (out, logs),
          (["status none"], ["DANE result for b.test: no-records"]))
    out, logs = dane_out("nothing.b.test", 5269, b)
    check("outbound DANE, no TLSA records", (out, logs),
          (["status none"], ["no TLSA records for nothing.b.test:5269 %s will use dialback" % EM_DASH]))

    def dane_in(domain, peer):
        out, logs = probe("dane-in", domain, peer.chain, peer.key, b.chain, b.key)
        return out, [m for _, m in logs]

    check("inbound DANE, records at the first SRV target", dane_in("a.test", a),
          (["inbound verified"], ["inbound DANE for a.test: verified"]))
    check("inbound DANE, another certificate", dane_in("a.test", a_self),
          (["inbound not-verified"], ["inbound DANE for a.test: not verified (will offer dialback)"]))
    check("inbound DANE, no records at c.test:5269", dane_in("c.test", a),
          (["inbound not-verified"], ["inbound DANE: no TLSA records for c.test"]))


if __name__ == "__main__":
    sys.exit(main())
