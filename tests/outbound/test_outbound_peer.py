#!/usr/bin/env python3
"""Outbound federation of fenra-s2s against a remote server played by the
test, inside a private network namespace with its own DNS server.

Each scenario starts a fresh daemon for a.test (127.0.0.1) with a test core on
its IPC socket, hands it DeliveryRequests and watches what the remote side
(tests/outbound/receiver.py on 127.0.1.x) receives and what the core is told.
Usage: test_outbound_peer.py [scenario ...]
"""

import os
import shutil
import socket
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
sys.path.insert(0, HERE)
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import s2s_world as w  # noqa: E402
import testca  # noqa: E402
import xmpp_peer as xp  # noqa: E402
from receiver import Receiver, external_text  # noqa: E402

STREAMS = xp.STREAMS_NS
HEADER_HEAD = ("<?xml version='1.0'?><stream:stream xmlns='jabber:server' xmlns:stream='"
               + STREAMS + "' xmlns:db='jabber:server:dialback' from='")
FROM = "alice@a.test/desk"

# name -> (address the remote server listens on, records)
SCENARIO_HOSTS = {}


class World:
    def __init__(self, work):
        self.work = work
        self.ca = testca.TestCA(work)
        self.a = self.ca.issue("a.test")
        self.certs = {}
        self.nodes = []  # every daemon started, for the logs of a failure

    def cert(self, domain):
        if domain not in self.certs:
            self.certs[domain] = self.ca.issue(domain)
        return self.certs[domain]

    def ctx(self, domain, chain=None):
        c = self.cert(domain)
        return xp.server_context(chain or c.chain, c.key)

    def node(self, cert=True, **kw):
        n = w.S2sNode("a.test", "127.0.0.1", cert=self.a if cert else None,
                      trust_anchor=self.trust_anchor, **kw)
        self.nodes.append(n)
        return n


def stanza(n, body="hello", to="bob@b.test"):
    return "<message from='%s' to='%s' id='m%d' type='chat'><body>%s %d</body></message>" % (
        FROM, to, n, body, n)


def wait(pred, what, timeout=30):
    t.wait_until(pred, timeout, what)


def serve(address, receiver, port=5269, ctx=None):
    return xp.PeerListener(address, port, receiver.serve, ctx=ctx)


def check_errors(listener):
    assert not listener.errors, "remote side failed: %r" % listener.errors


# ---------------------------------------------------------------------------
# Scenarios. Each gets the World and the zone it was registered with.

def sc_starttls_dialback(world):
    """STARTTLS then dialback: exact header, starttls and db:result bytes,
    stanzas written unchanged and in order."""
    r = Receiver("sd.test", world.ctx("sd.test"), external=None)
    lst = serve("127.0.1.1", r)
    with world.node() as a:
        msgs = [stanza(i, to="bob@sd.test") for i in range(3)]
        for m in msgs:
            a.deliver(FROM, "bob@sd.test", m)
        wait(lambda: len(r.stanzas) == 3, "three stanzas")
        assert [s.decode() for s in r.stanzas] == msgs, r.stanzas
        want = (HEADER_HEAD + "a.test' to='sd.test' version='1.0'>").encode()
        assert r.headers == [want, want], r.headers
        conn = r.conns[0]
        assert b"<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>" in conn.raw
        res = [e for e in r.elements if e.name == "db:result"]
        assert len(res) == 1
        assert res[0].raw.startswith(
            b"<db:result xmlns:db='jabber:server:dialback' from='a.test' to='sd.test'>")
        key = res[0].text
        assert len(key) == 64 and all(c in "0123456789abcdef" for c in key), key
        assert lst.accepted == 1
        a.daemon.wait_for("outbound dialback verified by sd.test")
        a.daemon.wait_for("outbound STARTTLS proceed from sd.test")
        a.daemon.wait_for("no TLSA records for sd.test:5269 ")
        # An established stream writes at once.
        a.deliver(FROM, "bob@sd.test", stanza(9, to="bob@sd.test"))
        wait(lambda: len(r.stanzas) == 4, "the fourth stanza")
        assert lst.accepted == 1
        assert a.no_frame()
    check_errors(lst)
    lst.close()


def sc_direct_tls(world):
    """An _xmpps-server target: TLS at once, no STARTTLS, then dialback."""
    r = Receiver("dt.test", world.ctx("dt.test"), direct=True, external=None)
    lst = serve("127.0.1.2", r, port=5270, ctx=world.ctx("dt.test"))
    with world.node() as a:
        a.deliver(FROM, "bob@dt.test", stanza(1, to="bob@dt.test"))
        wait(lambda: len(r.stanzas) == 1, "the stanza")
        a.daemon.wait_for("connecting to dt-host.test:5270 for domain dt.test (direct_tls=true)")
        assert b"starttls" not in r.conns[0].raw
    check_errors(lst)
    lst.close()


def sc_dane_external(world):
    """TLSA 3 1 1 matching: SASL EXTERNAL with base64 of our domain, stream
    restart, stanzas after the new features."""
    r = Receiver("ext.test", world.ctx("ext.test"))
    lst = serve("127.0.1.3", r)
    with world.node() as a:
        a.deliver(FROM, "bob@ext.test", stanza(1, to="bob@ext.test"))
        wait(lambda: len(r.stanzas) == 1, "the stanza")
        a.daemon.wait_for("DANE result for ext.test: verified")
        a.daemon.wait_for("outbound SASL success from ext.test")
        a.daemon.wait_for("outbound S2S to ext.test fully established")
        auth = [e for e in r.elements if e.local == "auth"]
        assert len(auth) == 1 and auth[0].raw == (
            "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>%s</auth>"
            % external_text("a.test")).encode(), auth[0].raw
        assert not [e for e in r.elements if e.name == "db:result"]
        assert len(r.headers) == 3
    check_errors(lst)
    lst.close()


def sc_external_fallback(world):
    """EXTERNAL refused: dialback on the same stream."""
    r = Receiver("extfb.test", world.ctx("extfb.test"), external="failure")
    lst = serve("127.0.1.4", r)
    with world.node() as a:
        a.deliver(FROM, "bob@extfb.test", stanza(1, to="bob@extfb.test"))
        wait(lambda: len(r.stanzas) == 1, "the stanza")
        a.daemon.wait_for("outbound SASL failure from extfb.test", level="warn")
        a.daemon.wait_for("outbound dialback verified by extfb.test")
        assert lst.accepted == 1
        kinds = [e.local for e in r.elements]
        assert kinds == ["starttls", "auth", "result"], kinds
    check_errors(lst)
    lst.close()


def sc_external_not_offered(world):
    """DANE vouches for the peer, but its features offer dialback only: no
    auth element, dialback at once."""
    r = Receiver("extno.test", world.ctx("extno.test"), external=None)
    lst = serve("127.0.1.23", r)
    with world.node() as a:
        a.deliver(FROM, "bob@extno.test", stanza(1, to="bob@extno.test"))
        wait(lambda: len(r.stanzas) == 1, "the stanza")
        a.daemon.wait_for("DANE result for extno.test: verified")
        kinds = [e.local for e in r.elements]
        assert kinds == ["starttls", "result"], kinds
    check_errors(lst)
    lst.close()


def sc_dane_mismatch(world):
    """A TLSA record of another certificate: dane-verification-failed for
    each delivery, nothing written after TLS."""
    r = Receiver("dm.test", world.ctx("dm.test"))
    lst = serve("127.0.1.5", r)
    with world.node() as a:
        a.deliver(FROM, "bob@dm.test", stanza(1))
        a.deliver(FROM, "carol@dm.test", stanza(2))
        a.expect_failed("bob@dm.test", "dane-verification-failed")
        a.expect_failed("carol@dm.test", "dane-verification-failed")
        a.daemon.wait_for("DANE result for dm.test: FAILED")
        a.daemon.wait_for("closing outbound S2S to dm.test")
        assert len(r.headers) == 1
    lst.close()


def sc_foreign_ca(world):
    """2 0 1 naming our CA: a certificate from another CA that merely lists
    ours in its chain is refused; one really issued by our CA passes."""
    r = Receiver("vic.test", world.ctx("vic.test", chain=world.rogue_chain))
    lst = serve("127.0.1.6", r)
    good = Receiver("vic2.test", world.ctx("vic2.test"))
    lst2 = serve("127.0.1.19", good)
    with world.node() as a:
        a.deliver(FROM, "bob@vic.test", stanza(1))
        a.expect_failed("bob@vic.test", "dane-verification-failed")
        a.deliver(FROM, "bob@vic2.test", stanza(2))
        wait(lambda: len(good.stanzas) == 1, "the stanza over the genuine chain")
        a.daemon.wait_for("DANE result for vic2.test: verified")
    lst.close()
    lst2.close()


def sc_matching_types(world):
    """3 1 2 (SHA-512) and 3 1 0 (the key itself) verify."""
    got = []
    for domain, address in (("t312.test", "127.0.1.7"), ("t310.test", "127.0.1.8")):
        r = Receiver(domain, world.ctx(domain))
        lst = serve(address, r)
        with world.node() as a:
            a.deliver(FROM, "bob@" + domain, stanza(1))
            wait(lambda: len(r.stanzas) == 1, "the stanza to " + domain)
            a.daemon.wait_for("DANE result for %s: verified" % domain)
            got.append([e.local for e in r.elements])
        check_errors(lst)
        lst.close()
    assert got == [["starttls", "auth"], ["starttls", "auth"]], got


def sc_no_stream_id(world):
    """A header without id cannot be dialed back: authentication-failed."""
    r = Receiver("nsid.test", world.ctx("nsid.test"), stream_id=None, external=None)
    lst = serve("127.0.1.9", r)
    with world.node() as a:
        a.deliver(FROM, "bob@nsid.test", stanza(1))
        a.expect_failed("bob@nsid.test", "authentication-failed")
        a.daemon.wait_for("outbound dialback for nsid.test: no remote stream ID", level="error")
    lst.close()


def sc_closed_early(world):
    """Closed by the peer before establishment: read-failed, at each stage."""
    for domain, address, where in (("closed.test", "127.0.1.10", "header"),
                                   ("closed2.test", "127.0.1.20", "after-features")):
        r = Receiver(domain, world.ctx(domain), break_at=where)
        lst = serve(address, r)
        with world.node() as a:
            a.deliver(FROM, "bob@" + domain, stanza(1))
            a.deliver(FROM, "eve@" + domain, stanza(2))
            a.expect_failed("bob@" + domain, "read-failed")
            a.expect_failed("eve@" + domain, "read-failed")
        lst.close()


def sc_connect_failures(world):
    """Connection-level failures, each reported with its word."""
    with world.node() as a:
        a.deliver(FROM, "bob@refused.test", stanza(1))
        a.expect_failed("bob@refused.test", "tcp-connect-failed")
        a.deliver(FROM, "bob@nohost.test", stanza(2))
        a.expect_failed("bob@nohost.test", "hostname-resolution-failed")
        a.deliver(FROM, "bob@none.test", stanza(3))
        a.expect_failed("bob@none.test", "hostname-resolution-failed")
        # The service names of a 240-byte domain are too long to ask for.
        long_domain = ".".join(["l" * 59] * 4)
        a.deliver(FROM, "bob@" + long_domain, stanza(7))
        a.expect_failed("bob@" + long_domain, "dns-resolution-failed")
        a.daemon.wait_for("DNS SRV resolution failed for " + long_domain, level="error")
        # Both targets refuse: the last word is reported, after both tries.
        mark = a.daemon.mark()
        a.deliver(FROM, "bob@allfail.test", stanza(4))
        a.expect_failed("bob@allfail.test", "tcp-connect-failed")
        a.daemon.wait_for("connecting to 127.0.1.31:5269 for domain allfail.test", start=mark)
        a.daemon.wait_for("connecting to 127.0.1.32:5269 for domain allfail.test", start=mark)
        a.daemon.wait_for("outbound TCP connect to 127.0.1.31:5269 failed for allfail.test, "
                          "trying next target", level="info", start=mark)
        a.daemon.wait_for("outbound TCP connect failed for allfail.test", level="error",
                          start=mark)
        # A failed domain is tried afresh by the next request.
        a.deliver(FROM, "carol@refused.test", stanza(5))
        a.expect_failed("carol@refused.test", "tcp-connect-failed")
        # node@ has no domain.
        a.deliver(FROM, "node@", stanza(6))
        a.expect_failed("node@", "invalid-jid")
        a.daemon.wait_for("delivery request with empty domain: to=node@", level="warn")


def sc_second_target(world):
    """A first SRV target that fails is passed over, the second is reached:
    the first refuses, has no address, never answers the connect, or takes
    the connection and fails (or never finishes) the TLS handshake."""
    r = Receiver("second.test", world.ctx("second.test"), external=None)
    lst = serve("127.0.1.14", r)
    garbage = xp.PeerListener("127.0.1.27", 5270, lambda c: c.send("garbage") or c.wait_closed(10))
    silent = xp.PeerListener("127.0.1.28", 5270, lambda c: c.wait_closed(30), timeout=30)
    no_tls = serve("127.0.1.29", Receiver("second6.test", world.ctx("second6.test"), break_at="tls"))
    cases = [  # domain, how its first target failed
        ("second.test", "outbound TCP connect to 127.0.1.13:5269 failed for second.test"),
        ("second2.test", "outbound connect to missing.test:5269 failed for second2.test "
                         "(hostname-resolution-failed)"),
        ("second3.test", "outbound TCP connect to 127.0.1.26:5269 failed for second3.test"),
        ("second4.test", "outbound TLS handshake with 127.0.1.27:5270 failed for second4.test"),
        ("second5.test", "outbound TLS handshake with 127.0.1.28:5270 timed out for second5.test"),
        ("second6.test", "outbound TLS handshake with 127.0.1.29:5269 failed for second6.test"),
    ]
    with netns.SilentPort("127.0.1.26", 5269), \
            world.node(extra_args=["--connect-timeout", "1"]) as a:
        for n, (domain, failed) in enumerate(cases, 1):
            a.deliver(FROM, "bob@" + domain, stanza(n))
            wait(lambda: len(r.stanzas) == n, "the stanza for " + domain)
            a.daemon.wait_for(failed + ", trying next target", level="info")
        assert (garbage.accepted, silent.accepted, no_tls.accepted) == (1, 1, 1)
        assert not a.daemon.find(level="error"), a.daemon.log_text()
        assert a.no_frame()
    check_errors(lst)
    for listener in (lst, garbage, silent, no_tls):
        listener.close()


def sc_tls_failure(world):
    r = Receiver("tlsfail.test", world.ctx("tlsfail.test"), break_at="tls")
    lst = serve("127.0.1.15", r)
    with world.node() as a:
        a.deliver(FROM, "bob@tlsfail.test", stanza(1))
        a.expect_failed("bob@tlsfail.test", "tls-handshake-failed")
        a.daemon.wait_for("outbound TLS handshake failed for tlsfail.test", level="error")
    lst.close()


def sc_auth_failure(world):
    r = Receiver("dbinv.test", world.ctx("dbinv.test"), external=None, dialback="invalid")
    lst = serve("127.0.1.16", r)
    with world.node() as a:
        a.deliver(FROM, "bob@dbinv.test", stanza(1))
        a.expect_failed("bob@dbinv.test", "authentication-failed")
        a.daemon.wait_for("outbound dialback rejected by dbinv.test: type=invalid", level="warn")
    lst.close()


def sc_slots_exhausted(world):
    """128 connections in progress: the next domain gets
    outbound-slots-exhausted; a freed slot is used again."""
    holders = []

    def hold(conn):
        holders.append(conn)
        conn.wait_closed(120)

    lst = xp.PeerListener("127.0.1.17", 5269, hold, timeout=120)
    with world.node() as a:
        for i in range(128):
            a.deliver(FROM, "bob@h%d.hold.test" % i, stanza(i))
        wait(lambda: lst.accepted == 128, "128 held connections", timeout=60)
        a.deliver(FROM, "bob@h128.hold.test", stanza(128))
        a.expect_failed("bob@h128.hold.test", "outbound-slots-exhausted")
        assert not a.daemon.find("for domain h128.hold.test")  # nobody was asked
        # One held connection ends; its delivery is reported, its slot free.
        holders[0].close()
        fields = a.expect_frame(t.DELIVERY_FAILED)
        assert fields[2] == "read-failed", fields
        a.deliver(FROM, "bob@h128.hold.test", stanza(129))
        wait(lambda: lst.accepted == 129, "the connection in the freed slot")
    lst.close()


def sc_time_outs(world):
    """A peer silent after TCP: queued deliveries, then the negotiation,
    time out; an idle stream is closed and reopened by the next delivery."""
    lst = xp.PeerListener("127.0.1.24", 5269, lambda conn: conn.wait_closed(60), timeout=60)
    for option in ("--delivery-timeout", "--negotiation-timeout"):
        with world.node(extra_args=[option, "1"]) as a:
            a.deliver(FROM, "bob@silent.test", stanza(1))
            a.expect_failed("bob@silent.test", "remote-server-timeout", timeout=10)
    lst.close()
    # The idle stream closed waits for the peer's close; a delivery meanwhile
    # goes over a new stream.
    gate = threading.Event()
    r = Receiver("idle.test", world.ctx("idle.test"), external=None,
                 on_end=lambda conn: gate.wait(30) and conn.send(xp.STREAM_CLOSE))
    lst = serve("127.0.1.25", r)
    with world.node(extra_args=["--outbound-idle-timeout", "1"]) as a:
        a.deliver(FROM, "bob@idle.test", stanza(1, to="bob@idle.test"))
        wait(lambda: len(r.stanzas) == 1, "the first stanza")
        a.daemon.wait_for("outbound S2S to idle.test idle for 1 s, closing the stream")
        a.deliver(FROM, "bob@idle.test", stanza(2, to="bob@idle.test"))
        wait(lambda: len(r.stanzas) == 2, "the stanza on a new stream")
        assert lst.accepted == 2
        gate.set()
        a.daemon.wait_for("outbound stream closed by idle.test")
        assert a.no_frame()
    check_errors(lst)
    lst.close()
    # A peer that never closes its side loses the connection after the close time-out.
    closed = []
    r = Receiver("idle.test", world.ctx("idle.test"), external=None,
                 on_end=lambda conn: closed.append(conn.wait_closed(30)))
    lst = serve("127.0.1.25", r)
    with world.node(extra_args=["--outbound-idle-timeout", "1", "--close-timeout", "1"]) as a:
        a.deliver(FROM, "bob@idle.test", stanza(1, to="bob@idle.test"))
        wait(lambda: closed == [True], "the connection closed by the daemon")
    check_errors(lst)
    lst.close()


def sc_burst(world):
    """Stanzas far beyond the 16384-byte write queue, queued before and after
    establishment, all arrive in order."""
    r = Receiver("burst.test", world.ctx("burst.test"), external=None)
    lst = serve("127.0.1.18", r)
    body = "x" * 1000
    with world.node() as a:
        msgs = [stanza(i, body, to="bob@burst.test") for i in range(60)]
        for m in msgs:
            a.deliver(FROM, "bob@burst.test", m)
        wait(lambda: len(r.stanzas) == 60, "60 stanzas")
        more = [stanza(100 + i, body, to="bob@burst.test") for i in range(200)]
        for m in more:
            a.deliver(FROM, "bob@burst.test", m)
        wait(lambda: len(r.stanzas) == 260, "260 stanzas")
        assert [s.decode() for s in r.stanzas] == msgs + more
        assert a.no_frame()
        assert not a.daemon.find("outbound write buffer full")
    check_errors(lst)
    lst.close()


def sc_resource_at(world):
    """A resource containing "@" does not move the delivery elsewhere; @domain
    (empty node) is queued for domain."""
    r = Receiver("sd.test", world.ctx("sd.test"), external=None)
    lst = serve("127.0.1.1", r)
    with world.node() as a:
        a.deliver(FROM, "bob@sd.test/res@evil.test", stanza(1))
        a.deliver(FROM, "sd.test/x@evil.test", stanza(2))
        a.deliver(FROM, "@sd.test", stanza(3))
        wait(lambda: len(r.stanzas) == 3, "three stanzas at sd.test")
        assert not a.daemon.find("evil.test")
    lst.close()


def sc_two_cores(world):
    """A delivery failure reaches every connected core."""
    with world.node() as a:
        other = a.connect_core()
        a.deliver(FROM, "bob@refused.test", stanza(1))
        a.expect_failed("bob@refused.test", "tcp-connect-failed")
        a.expect_failed("bob@refused.test", "tcp-connect-failed", core=other)


def sc_no_client_cert(world):
    """Without --cert the daemon still federates outbound: STARTTLS and dialback."""
    r = Receiver("sd.test", world.ctx("sd.test"), external=None)
    lst = serve("127.0.1.1", r)
    with world.node(cert=False) as a:
        a.deliver(FROM, "bob@sd.test", stanza(1))
        wait(lambda: len(r.stanzas) == 1, "the stanza")
    lst.close()


def sc_shutdown_silent(world):
    """Deliveries still queued at shut-down are not reported."""
    r = Receiver("slow.test", world.ctx("slow.test"), external=None, dialback=None)
    lst = serve("127.0.1.21", r)
    a = world.node()
    try:
        a.deliver(FROM, "bob@slow.test", stanza(1))
        a.daemon.wait_for("outbound dialback key sent to slow.test")
        assert a.stop() == 0
        assert "closing outbound" not in a.daemon.log_text()
    finally:
        a.daemon.kill()
    lst.close()


def sc_long_local_domain(world):
    """A local domain too long for the EXTERNAL element uses dialback even
    when DANE verified the peer."""
    host = ".".join(["l" * 60] * 3) + ".longer.long.test"
    assert len(host) > 192
    r = Receiver("ext.test", world.ctx("ext.test"))
    lst = serve("127.0.1.3", r)
    n = w.S2sNode(host, "127.0.0.1", cert=world.a, trust_anchor=world.trust_anchor)
    world.nodes.append(n)
    with n:
        n.deliver("u@" + host, "bob@ext.test", stanza(1, to="bob@ext.test"))
        wait(lambda: len(r.stanzas) == 1, "the stanza")
        n.daemon.wait_for("DANE result for ext.test: verified")
        assert [e.local for e in r.elements] == ["starttls", "result"], r.elements
        assert r.elements[1].get("from") == host
    check_errors(lst)
    lst.close()


def sc_parse_error(world):
    """A peer whose stream cannot be parsed: xml-parse-error."""
    r = Receiver("garbage.test", world.ctx("garbage.test"), break_at="xml")
    lst = serve("127.0.1.22", r)
    with world.node() as a:
        a.deliver(FROM, "bob@garbage.test", stanza(1))
        a.expect_failed("bob@garbage.test", "xml-parse-error")
    lst.close()


def sc_no_descriptors(world):
    """No descriptor left for a socket: socket-creation-failed (the domains
    are address literals, so that no lookup needs one either)."""
    import resource
    held = []

    def hold(conn):
        held.append(conn)
        conn.wait_closed(120)

    addresses = ["127.0.1.%d" % i for i in range(23, 31)]
    lsts = [xp.PeerListener(addr, 5269, hold, timeout=120) for addr in addresses]
    with world.node() as a:
        # Everything the daemon does once before it runs short (the
        # sanitizers' first checks of a type need descriptors of their own).
        a.deliver(FROM, "node@", stanza(0))
        a.expect_failed("node@", "invalid-jid")
        a.deliver(FROM, "bob@127.0.1.31", stanza(0))  # a connect, refused
        a.expect_failed("bob@127.0.1.31", "tcp-connect-failed")
        mark = a.daemon.mark()
        socket.create_connection((a.address, a.port)).close()  # the loop's first session handler
        a.daemon.wait_for("closing inbound S2S session id=", start=mark)
        # Descriptor numbers below the limit that are free: the gaps left by
        # closed ones, and one more when there is none.
        # The log line comes before the session's socket is closed: wait
        # until the descriptor table holds still.
        fds, last = None, []
        while fds != last:
            fds, last = last, sorted(int(f) for f in os.listdir("/proc/%d/fd" % a.daemon.pid))
            time.sleep(0.2)
        limit = max(fds) + (1 if len(fds) <= max(fds) else 2)
        free = limit - len(fds)
        assert free < len(addresses), free
        resource.prlimit(a.daemon.pid, resource.RLIMIT_NOFILE, (limit, limit))
        for i in range(free):
            a.deliver(FROM, "bob@" + addresses[i], stanza(i))
        wait(lambda: len(held) == free, "%d held connections" % free)
        a.deliver(FROM, "bob@" + addresses[free], stanza(99))
        a.expect_failed("bob@" + addresses[free], "socket-creation-failed")
    for lst in lsts:
        lst.close()


SCENARIOS = [
    sc_starttls_dialback, sc_direct_tls, sc_dane_external, sc_external_fallback,
    sc_external_not_offered, sc_dane_mismatch, sc_foreign_ca, sc_matching_types, sc_no_stream_id,
    sc_closed_early,
    sc_connect_failures, sc_second_target, sc_tls_failure, sc_auth_failure, sc_burst,
    sc_resource_at, sc_two_cores, sc_no_client_cert, sc_shutdown_silent, sc_long_local_domain,
    sc_parse_error, sc_no_descriptors, sc_slots_exhausted, sc_time_outs,
]


def build_zone(world):
    zones = netns.dnssec_zones()
    z = zones["test"]
    ca = world.ca

    def host(domain, address):
        z.a(domain, address)

    host("sd.test", "127.0.1.1")
    z.srv("_xmpps-server._tcp.dt.test", "dt-host.test", 5270)
    host("dt-host.test", "127.0.1.2")
    host("ext.test", "127.0.1.3")
    z.tlsa(5269, "ext.test", 3, 1, 1, testca.tlsa_data(world.cert("ext.test"), 1, 1))
    host("extfb.test", "127.0.1.4")
    z.tlsa(5269, "extfb.test", 3, 1, 1, testca.tlsa_data(world.cert("extfb.test"), 1, 1))
    host("extno.test", "127.0.1.23")
    z.tlsa(5269, "extno.test", 3, 1, 1, testca.tlsa_data(world.cert("extno.test"), 1, 1))
    host("dm.test", "127.0.1.5")
    z.tlsa(5269, "dm.test", 3, 0, 1, testca.tlsa_data(world.cert("other.test"), 0, 1))
    host("vic.test", "127.0.1.6")
    z.tlsa(5269, "vic.test", 2, 0, 1, testca.tlsa_data(ca.ca, 0, 1))
    host("vic2.test", "127.0.1.19")
    z.tlsa(5269, "vic2.test", 2, 0, 1, testca.tlsa_data(ca.ca, 0, 1))
    host("t312.test", "127.0.1.7")
    z.tlsa(5269, "t312.test", 3, 1, 2, testca.tlsa_data(world.cert("t312.test"), 1, 2))
    host("t310.test", "127.0.1.8")
    z.tlsa(5269, "t310.test", 3, 1, 0, testca.tlsa_data(world.cert("t310.test"), 1, 0))
    host("nsid.test", "127.0.1.9")
    host("closed.test", "127.0.1.10")
    host("closed2.test", "127.0.1.20")
    host("refused.test", "127.0.1.11")
    z.srv("_xmpp-server._tcp.nohost.test", "missing.test", 5269)
    z.srv_not_offered("_xmpp-server._tcp.none.test")
    z.srv("_xmpp-server._tcp.allfail.test", "127.0.1.31", 5269, priority=0)
    z.srv("_xmpp-server._tcp.allfail.test", "127.0.1.32", 5269, priority=10)
    z.srv("_xmpp-server._tcp.second.test", "127.0.1.13", 5269, priority=0)
    z.srv("_xmpp-server._tcp.second.test", "127.0.1.14", 5269, priority=10)
    z.srv("_xmpp-server._tcp.second2.test", "missing.test", 5269, priority=0)
    z.srv("_xmpp-server._tcp.second2.test", "127.0.1.14", 5269, priority=10)
    z.srv("_xmpp-server._tcp.second3.test", "127.0.1.26", 5269, priority=0)
    z.srv("_xmpp-server._tcp.second3.test", "127.0.1.14", 5269, priority=10)
    for i, first in ((4, "127.0.1.27"), (5, "127.0.1.28")):
        z.srv("_xmpps-server._tcp.second%d.test" % i, first, 5270)
        z.srv("_xmpp-server._tcp.second%d.test" % i, "127.0.1.14", 5269)
    z.srv("_xmpp-server._tcp.second6.test", "127.0.1.29", 5269, priority=0)
    z.srv("_xmpp-server._tcp.second6.test", "127.0.1.14", 5269, priority=10)
    host("garbage.test", "127.0.1.22")
    host("tlsfail.test", "127.0.1.15")
    host("dbinv.test", "127.0.1.16")
    for i in range(129):
        host("h%d.hold.test" % i, "127.0.1.17")
    host("burst.test", "127.0.1.18")
    host("slow.test", "127.0.1.21")
    host("silent.test", "127.0.1.24")
    host("idle.test", "127.0.1.25")
    return zones


def main():
    wanted = set(sys.argv[1:])
    work = tempfile.mkdtemp(prefix="fenra-ob-", dir="/tmp")
    passed, failed = 0, []
    try:
        world = World(work)
        # Someone else's certificate for vic.test, with our CA appended.
        rogue = testca.TestCA(work, "Rogue CA").issue("vic.test")
        world.rogue_chain = os.path.join(work, "rogue-chain.pem")
        with open(world.rogue_chain, "wb") as out:
            for p in (rogue.chain, world.ca.ca.cert):
                with open(p, "rb") as f:
                    out.write(f.read())
        world.certs["vic.test"] = rogue
        with netns.SignedDns(build_zone(world), work) as dns:
            world.trust_anchor = dns.trust_anchor
            passed, failed = w.run_scenarios(world, SCENARIOS, wanted, kill_nodes=False)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
