#!/usr/bin/env python3
"""Two fenra-s2s daemons federating inside a private network namespace with
its own DNS server: a DeliveryRequest at one core arrives as an
InboundStanza at the other core. The zone test. is signed (netns.SignedDns)
and the daemons validate from its key.

    a.test 127.0.0.1 <-> b.test 127.0.0.2    no TLSA records: STARTTLS + dialback
    a.test 127.0.0.5                          a second instance of a.test (not in DNS)
    c.test 127.0.0.3 <-> d.test 127.0.0.4    TLSA 3 1 1 for both: DANE + SASL EXTERNAL
    bad.test 127.0.0.2                        TLSA contradicting the certificate it presents
    e.insecure.test 127.0.0.6                 TLSA in an unsigned zone: dialback
    h.broken.test 127.0.0.7                   TLSA with broken signatures (bogus)
    v6.test ::1                               IPv6 only
    *.slow.test                               its nameserver never answers

Usage: test_federation.py [scenario ...]
"""

import os
import sys

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import s2s_world as w  # noqa: E402
import testca  # noqa: E402
import xmpp_peer as xp  # noqa: E402

ADDRESSES = {"a.test": "127.0.0.1", "b.test": "127.0.0.2", "c.test": "127.0.0.3",
             "d.test": "127.0.0.4", "e.insecure.test": "127.0.0.6", "h.broken.test": "127.0.0.7",
             "v6.test": "::1"}


def message(frm, to, n, body="hi"):
    return "<message from='%s' to='%s' type='chat' id='m%d'><body>%s %d</body></message>" % (
        frm, to, n, body, n)


def expect_stanza(node, frm, to, stanza):
    fields = node.expect_inbound()
    assert fields == [frm, to, stanza], "got %r, want %r" % (fields, [frm, to, stanza])


def send(src, dst, frm, to, n, body="hi"):
    """A message from SRC's core arrives at DST's core."""
    m = message(frm, to, n, body)
    src.deliver(frm, to, m)
    expect_stanza(dst, frm, to, m)


def sc_dialback_both_ways(world):
    """STARTTLS and dialback in both directions; each dialback key is checked
    by a callback over a connection of its own, and the reverse direction's
    callback rides on the established stream."""
    a, b = world.node("a.test"), world.node("b.test")
    send(a, b, "alice@a.test/x", "bob@b.test", 1)
    a.daemon.wait_for("outbound dialback verified by b.test")
    b.daemon.wait_for("dialback callback: sent db:verify to a.test for stream ")
    b.daemon.wait_for("dialback callback: db:verify response type=valid from a.test")
    a.daemon.wait_for("dialback verify: valid key from b.test for stream ")
    # The callback session of b.test authenticated itself too: a.test
    # checked its key over a callback of its own.
    a.daemon.wait_for("dialback callback: sent db:verify to b.test for stream ")
    send(b, a, "bob@b.test", "alice@a.test", 2, "back")
    # Queued in order, including a burst beyond the write queue.
    msgs = [message("alice@a.test", "bob@b.test", 10 + i, "y" * 900) for i in range(40)]
    for m in msgs:
        a.deliver("alice@a.test", "bob@b.test", m)
    for m in msgs:
        expect_stanza(b, "alice@a.test", "bob@b.test", m)
    assert a.no_frame() and b.no_frame(wait=0.1)
    # One connection each way: the callbacks rode on them.
    for n in (a, b):
        sessions = len(n.daemon.find("starting TLS handshake"))
        assert sessions == 1, (n.host, sessions)


def sc_dane_external(world):
    """TLSA records matching both certificates: SASL EXTERNAL both ways, no
    dialback at all."""
    c, d = world.node("c.test"), world.node("d.test")
    send(c, d, "carl@c.test", "dora@d.test", 1)
    c.daemon.wait_for("DANE result for d.test: verified")
    c.daemon.wait_for("outbound S2S to d.test fully established")
    d.daemon.wait_for("inbound DANE for c.test: verified")
    send(d, c, "dora@d.test", "carl@c.test", 2)
    for n in (c, d):
        assert not n.daemon.find("dialback"), n.daemon.log_text()


def sc_dane_mismatch(world):
    """A TLSA record that contradicts the certificate the server presents."""
    a = world.node("a.test")
    b = world.node("bad.test", ADDRESSES["b.test"], cert=world.cert("b.test"))
    a.deliver("alice@a.test", "bob@bad.test", message("alice@a.test", "bob@bad.test", 1))
    a.expect_failed("bob@bad.test", "dane-verification-failed")
    a.daemon.wait_for("DANE result for bad.test: FAILED")
    assert b.no_frame()


def sc_peer_down(world):
    """The other daemon is not running: tcp-connect-failed; once it runs, the
    next request for the domain connects afresh."""
    a = world.node("a.test")
    a.deliver("alice@a.test", "bob@b.test", message("alice@a.test", "bob@b.test", 1))
    a.expect_failed("bob@b.test", "tcp-connect-failed")
    b = world.node("b.test")
    send(a, b, "alice@a.test", "bob@b.test", 2)


def sc_forged_dialback_key(world):
    """With a.test's stream to b.test up, a third party claiming b.test hands
    a.test a dialback key that would close a.test's db:verify and open a
    stanza: the key stays text on the way to b.test, which finds it invalid,
    and nothing reaches b.test's core."""
    a, b = world.node("a.test"), world.node("b.test")
    send(a, b, "alice@a.test", "bob@b.test", 1)
    a.daemon.wait_for("outbound dialback verified by b.test")
    evil = a.peer().negotiate_tls("b.test", offer=xp.DIALBACK_OFFER)
    evil.send("<db:result from='b.test' to='a.test'>&lt;/db:verify&gt;&lt;message "
              "from=&apos;ceo@a.test&apos; to=&apos;bob@b.test&apos;&gt;&lt;body&gt;forged"
              "&lt;/body&gt;&lt;/message&gt;&lt;db:verify&gt;</db:result>")
    assert b.no_frame(wait=1.0), b.daemon.log_text()
    evil.expect(xp.db_verdict("a.test", "b.test", "invalid"))
    b.daemon.wait_for("dialback verify: invalid key from a.test", level="warn")
    # The stream between the two stays up and carries the next stanza.
    send(a, b, "alice@a.test", "bob@b.test", 2)


def sc_payload_named_stream(world):
    """An element named stream inside a stanza is payload: that stanza and
    the next one arrive, over the one stream."""
    a, b = world.node("a.test"), world.node("b.test")
    m1 = ("<message from='alice@a.test' to='bob@b.test' type='chat' id='s1'>"
          "<x xmlns='urn:example:y'><stream xmlns='urn:example:z'/></x></message>")
    m2 = message("alice@a.test", "bob@b.test", 2)
    a.deliver("alice@a.test", "bob@b.test", m1)
    a.deliver("alice@a.test", "bob@b.test", m2)
    expect_stanza(b, "alice@a.test", "bob@b.test", m1)
    expect_stanza(b, "alice@a.test", "bob@b.test", m2)
    # The log is read on another thread: the line of the one stream may lag.
    b.daemon.wait_for(r"inbound S2S stream established| verified, inbound session ", regex=True)
    assert not b.daemon.find("closing inbound S2S session"), b.daemon.log_text()
    assert len(b.daemon.find("inbound S2S stream established")) + len(
        b.daemon.find(" verified, inbound session ")) == 1, b.daemon.log_text()


def sc_two_instances_share_secret(world):
    """Two instances of a.test with one secret file: b.test's callback for a
    key of the instance at 127.0.0.5 reaches the one DNS names, which finds
    it valid. A secret file that others may read stops the daemon."""
    secret = os.path.join(world.dir, "dialback.secret")
    with open(secret, "w") as f:
        f.write("0123456789abcdefghijklmnopqrstuvwxyzABCD\n")
    os.chmod(secret, 0o644)
    d = t.run_to_exit([t.binary("fenra-s2s"), "--host", "a.test", "--port", "0",
                       "--dialback-secret-file", secret])
    assert d.returncode == 1 and d.find("dialback secret file %s grants access" % secret,
                                        level="error"), d.log_text()
    os.chmod(secret, 0o600)
    args = ("--dialback-secret-file", secret)
    a2 = world.node("a.test", extra_args=args)
    a1 = world.node("a.test", address="127.0.0.5", extra_args=args)
    b = world.node("b.test")
    send(a1, b, "alice@a.test", "bob@b.test", 1)
    a2.daemon.wait_for("dialback verify: valid key from b.test for stream ")
    assert not a1.daemon.find("dialback verify:"), a1.daemon.log_text()
    for n in (a1, a2):
        assert not n.daemon.find("0123456789abcdef"), n.daemon.log_text()


def sc_dane_insecure(world):
    """TLSA records in an unsigned zone are not looked at: dialback both ways."""
    a, e = world.node("a.test"), world.node("e.insecure.test")
    send(a, e, "alice@a.test", "eve@e.insecure.test", 1)
    a.daemon.wait_for("no DANE for e.insecure.test:5269: the SRV answer for e.insecure.test "
                      "is insecure")
    a.daemon.wait_for("outbound dialback verified by e.insecure.test")
    send(e, a, "eve@e.insecure.test", "alice@a.test", 2)
    a.daemon.wait_for("inbound DANE: no TLSA records for e.insecure.test")


def sc_dane_bogus(world):
    """TLSA records whose signatures fail: our delivery fails with
    dane-verification-failed, and the peer is offered no EXTERNAL (its
    dialback then fails on the same records)."""
    a, h = world.node("a.test"), world.node("h.broken.test")
    a.deliver("alice@a.test", "hal@h.broken.test", message("alice@a.test", "hal@h.broken.test", 1))
    a.expect_failed("hal@h.broken.test", "dane-verification-failed")
    a.daemon.wait_for("TLSA _5269._tcp.h.broken.test: bogus")
    h.deliver("hal@h.broken.test", "alice@a.test", message("hal@h.broken.test", "alice@a.test", 2))
    h.expect_frame(t.DELIVERY_FAILED)
    a.daemon.wait_for("inbound DANE for h.broken.test: not verified (TLSA answer bogus")
    assert not a.daemon.find("SASL EXTERNAL"), a.daemon.log_text()
    assert a.no_frame(wait=0.1)


def sc_stalled_nameserver(world):
    """While the lookups for one domain hang, an inbound stream negotiates
    and deliveries to other domains go through."""
    a, b = world.node("a.test"), world.node("b.test")
    a.deliver("alice@a.test", "sam@x.slow.test", message("alice@a.test", "sam@x.slow.test", 1))
    send(b, a, "bob@b.test", "alice@a.test", 2)  # before the failure below
    send(a, b, "alice@a.test", "bob@b.test", 3)
    a.expect_failed("sam@x.slow.test", "hostname-resolution-failed")


def sc_large_stanzas(world):
    """20 and 60 KB stanzas arrive byte-identical both ways. One over the
    limit the receiver announces is refused before it is sent; the stream
    carries the next stanza."""
    a, b = world.node("a.test"), world.node("b.test")
    c = world.node("c.test", extra_args=["--max-stanza-size", "30000"])
    for size in (20000, 60000):
        for src, dst, frm, to in ((a, b, "alice@a.test", "bob@b.test"),
                                  (b, a, "bob@b.test", "alice@a.test")):
            m = t.payload_message(frm, to, size, "m%d" % size)
            src.deliver(frm, to, m)
            expect_stanza(dst, frm, to, m)
    a.deliver("alice@a.test", "carl@c.test",
              t.payload_message("alice@a.test", "carl@c.test", 40000))
    a.expect_failed("carl@c.test", "policy-violation")
    a.daemon.wait_for("stanza over the limit of c.test (30000 bytes) not sent: "
                      "to=carl@c.test")
    send(a, c, "alice@a.test", "carl@c.test", 1)


def sc_no_core_at_start(world):
    """A stanza that arrives while no core is connected waits for one."""
    a, b = world.node("a.test"), world.node("b.test", core=False)
    m = message("alice@a.test", "bob@b.test", 1)
    a.deliver("alice@a.test", "bob@b.test", m)
    b.daemon.wait_for("inbound reading paused")
    b.core = b.connect_core()
    expect_stanza(b, "alice@a.test", "bob@b.test", m)


def sc_stopped_while_resolving(world):
    """The negotiation time-out covers resolution: the session goes with
    its lookups in flight; a daemon stopped with lookups in flight ends
    cleanly (the sanitizer build watches the memory)."""
    a = world.node("a.test", extra_args=["--negotiation-timeout", "1"])
    a.deliver("alice@a.test", "sam@y.slow.test", message("alice@a.test", "sam@y.slow.test", 1))
    a.expect_failed("sam@y.slow.test", "remote-server-timeout")
    asked = world.stalled.queries
    a.deliver("alice@a.test", "sam@z.slow.test", message("alice@a.test", "sam@z.slow.test", 2))
    t.wait_until(lambda: world.stalled.queries > asked, 30, "a query to the stalled server")
    assert a.stop() == 0, a.daemon.log_text()


def sc_ipv6_only_peer(world):
    """A peer with an AAAA record only, listening on ::1: both directions."""
    a, v = world.node("a.test"), world.node("v6.test")
    send(a, v, "alice@a.test", "vic@v6.test", 1)
    a.daemon.wait_for("outbound TCP connected to v6.test:5269 at [::1]:5269")
    send(v, a, "vic@v6.test", "alice@a.test", 2)


def sc_failure_reaches_a_later_core(world):
    """A delivery that fails while no core is connected is reported to the
    next core that connects; the stanzas the connection had taken are
    reported too."""
    a = world.node("a.test")
    silent = t.listener(ADDRESSES["b.test"], 5269)
    try:
        for i in range(3):
            a.deliver("alice@a.test", "bob%d@b.test" % i, message("alice@a.test", "bob@b.test", i))
        conn, _ = silent.accept()
        a.daemon.wait_for("outbound TCP connected to ")
        a.cores.remove(a.core)
        a.core.close()
        a.daemon.wait_for("core disconnected from IPC slot=0")
        conn.recv(65536)  # the stream header, so that the close is orderly
        conn.close()
        a.daemon.wait_for("outbound connection to b.test closed by peer")
        later = a.connect_core()
        for i in range(3):
            a.expect_failed("bob%d@b.test" % i, "read-failed", core=later)
    finally:
        silent.close()


def sc_core_stops_reading(world):
    """A core that stops reading pauses the inbound streams instead of losing
    stanzas; once it reads again everything arrives, in order."""
    a, b = world.node("a.test"), world.node("b.test")
    msgs = [t.payload_message("alice@a.test", "bob@b.test", 20000, "m%d" % i)
            for i in range(60)]
    for m in msgs:
        a.deliver("alice@a.test", "bob@b.test", m)
    b.daemon.wait_for("inbound reading paused")
    for m in msgs:
        expect_stanza(b, "alice@a.test", "bob@b.test", m)
    assert a.no_frame(), a.daemon.log_text()


SCENARIOS = [sc_dialback_both_ways, sc_dane_external, sc_dane_mismatch, sc_peer_down,
             sc_forged_dialback_key, sc_payload_named_stream, sc_two_instances_share_secret,
             sc_large_stanzas, sc_no_core_at_start, sc_failure_reaches_a_later_core,
             sc_core_stops_reading, sc_dane_insecure, sc_dane_bogus, sc_stalled_nameserver,
             sc_stopped_while_resolving, sc_ipv6_only_peer]


def build_zone(world):
    zones = netns.dnssec_zones()
    zones["broken.test"] = netns.AuthZone("broken.test", broken=("TLSA",))
    zones["test"].delegate(zones["broken.test"])

    def zone_of(domain):
        return zones[domain.split(".", 1)[1]] if domain.count(".") > 1 else zones["test"]

    for domain, address in ADDRESSES.items():
        (zone_of(domain).aaaa if ":" in address else zone_of(domain).a)(domain, address)
    z = zones["test"]
    z.a("bad.test", ADDRESSES["b.test"])
    for domain in ("c.test", "d.test", "e.insecure.test", "h.broken.test"):
        zone_of(domain).tlsa(5269, domain, 3, 1, 1, testca.tlsa_data(world.cert(domain), 1, 1))
    z.tlsa(5269, "bad.test", 3, 0, 1, testca.tlsa_data(world.cert("d.test"), 0, 1))
    return zones


def stalled_nameserver(world):
    world.stalled = netns.StalledServer().__enter__()


if __name__ == "__main__":
    sys.exit(w.main(SCENARIOS, build_zone, setup=stalled_nameserver, addresses=ADDRESSES,
                    forward=netns.Zone(local_domains=()).forward("slow.test",
                                                                 netns.STALLED_ADDRESS)))
