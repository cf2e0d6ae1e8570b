#!/usr/bin/env python3
"""Dialback callbacks of fenra-s2s (b.test on 127.0.0.2) inside a private
network namespace with its own DNS server. Remote servers that claim an
origin domain connect to the daemon (the test plays them, byte by byte), and
the origin's authoritative server is played by the test too, so that its
answers can be delayed, reordered, forged or withheld.

Usage: test_callbacks.py [scenario ...]
"""

import os
import shutil
import ssl
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
from receiver import Receiver, db_verify_answer  # noqa: E402

B = "127.0.0.2"
STARTTLS = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"
ORIGINS = {"org.test": "127.0.2.1", "req.test": "127.0.2.2", "extcb.test": "127.0.2.3",
           "dies.test": "127.0.2.4", "nobody.test": "127.0.2.9"}


class World:
    def __init__(self, work):
        self.ca = testca.TestCA(work)
        self.b = self.ca.issue("b.test")
        self.certs = {d: self.ca.issue(d) for d in ORIGINS}
        self.nodes = []

    def node(self):
        n = w.S2sNode("b.test", B, cert=self.b, trust_anchor=self.trust_anchor)
        self.nodes.append(n)
        return n

    def ctx(self, domain):
        c = self.certs[domain]
        return xp.server_context(c.chain, c.key)


class Claimant:
    """A remote server that claims ORIGIN on a stream to the daemon."""

    def __init__(self, origin, tls=True):
        self.origin = origin
        self.conn = xp.StreamConn.connect(B, 5269)
        self.conn.send_header(frm=origin, to="b.test")
        self.stream_id = self.conn.read_header().get("id")
        self.conn.expect("features")
        if tls:
            self.conn.send(STARTTLS)
            self.conn.expect("proceed")
            self.conn.start_tls_client(xp.client_context())
            self.conn.send_header(frm=origin, to="b.test")
            self.conn.read_header()
            self.conn.expect("features")

    def submit(self, key):
        self.conn.send("<db:result from='%s' to='b.test'>%s</db:result>" % (self.origin, key))

    def verdict(self):
        el = self.conn.expect("result")
        assert el.get("from") == "b.test" and el.get("to") == self.origin, el.raw
        return el.get("type")

    def close(self):
        self.conn.close()


def message(frm, n):
    return "<message from='%s' to='bob@b.test' type='chat' id='m%d'><body>%d</body></message>" % (
        frm, n, n)


def serve(domain, receiver, world):
    return xp.PeerListener(ORIGINS[domain], 5269, receiver.serve)


def sc_crossed(world):
    """Two peers claim org.test at once, the impostor first. The authoritative
    server answers a forged id first, then the genuine peer's callback, then
    the impostor's: each verdict reaches the peer it belongs to, and only the
    genuine peer's stanzas are forwarded."""
    pending = []
    lock = threading.Lock()

    def verify(conn, el):
        with lock:
            pending.append(el)
            if len(pending) < 2:
                return None
            first, second = pending
        conn.send(db_verify_answer("org.test", "b.test", "s2s-999-1", "valid"))
        conn.send(db_verify_answer("org.test", "b.test", second.get("id"), "valid"))
        conn.send(db_verify_answer("org.test", "b.test", first.get("id"), "invalid"))
        return None

    r = Receiver("org.test", world.ctx("org.test"), external=None, verify=verify)
    lst = serve("org.test", r, world)
    b = world.node()
    impostor = Claimant("org.test")
    genuine = Claimant("org.test")
    try:
        impostor.submit("0" * 64)
        b.daemon.wait_for("initiating dialback callback to org.test for stream " + impostor.stream_id)
        genuine.submit("f" * 64)
        assert genuine.verdict() == "valid"
        assert impostor.verdict() == "invalid"
        b.daemon.wait_for("matches no pending callback", level="warn")
        impostor.conn.send(message("eve@org.test", 1))
        genuine.conn.send(message("olga@org.test", 2))
        fields = b.expect_inbound()
        assert fields[0] == "olga@org.test", fields
        assert b.no_frame()
        verifies = [e for e in r.elements if e.name == "db:verify"]
        assert sorted(e.get("id") for e in verifies) == sorted(
            [impostor.stream_id, genuine.stream_id])
        assert {e.text for e in verifies} == {"0" * 64, "f" * 64}
        for e in verifies:
            assert e.get("from") == "b.test" and e.get("to") == "org.test", e.raw
    finally:
        impostor.close()
        genuine.close()
        lst.close()


def sc_requires_starttls(world):
    """The authoritative server refuses anything before TLS (as a server with
    STARTTLS required does): the callback negotiates TLS first, sends its
    db:verify on the restarted stream, and authenticates itself by dialback
    so that the same session then carries deliveries."""
    def verify(conn, el):
        if not isinstance(conn.sock, ssl.SSLSocket):
            conn.send("<stream:error><policy-violation xmlns='urn:ietf:params:xml:ns:xmpp-streams'/>"
                      "</stream:error></stream:stream>")
            return None
        return "valid"

    r = Receiver("req.test", world.ctx("req.test"), external=None, verify=verify)
    lst = serve("req.test", r, world)
    b = world.node()
    c = Claimant("req.test")
    try:
        c.submit("a" * 64)
        assert c.verdict() == "valid"
        wait_for = b.daemon.wait_for
        wait_for("outbound dialback verified by req.test")
        kinds = [e.name for e in r.elements]
        assert kinds[:3] == ["starttls", "db:verify", "db:result"], kinds
        m = "<message from='bob@b.test' to='rita@req.test'/>"
        b.deliver("bob@b.test", "rita@req.test", m)
        t.wait_until(lambda: r.stanzas == [m.encode()], 30, "the delivery over the callback session")
        assert lst.accepted == 1
        # A later callback to the established session goes out at once.
        c2 = Claimant("req.test")
        c2.submit("b" * 64)
        assert c2.verdict() == "valid"
        assert lst.accepted == 1
        c2.close()
    finally:
        c.close()
        lst.close()


def sc_external_after_answers(world):
    """A DANE-verified callback session holds its SASL EXTERNAL back until the
    db:verify answer has arrived."""
    answered = []

    def verify(conn, el):
        time.sleep(0.5)
        answered.append(time.monotonic())
        return "valid"

    r = Receiver("extcb.test", world.ctx("extcb.test"), verify=verify)
    orig_handle = r.handle
    auth_at = []

    def handle(conn, el):
        if el.local == "auth":
            auth_at.append(time.monotonic())
        orig_handle(conn, el)

    r.handle = handle
    lst = serve("extcb.test", r, world)
    b = world.node()
    c = Claimant("extcb.test")
    try:
        c.submit("c" * 64)
        assert c.verdict() == "valid"
        t.wait_until(lambda: auth_at, 30, "the EXTERNAL auth")
        assert auth_at[0] >= answered[0], (auth_at, answered)
        assert [e.local for e in r.elements][:3] == ["starttls", "verify", "auth"]
        b.daemon.wait_for("outbound S2S to extcb.test fully established")
        m = "<message from='bob@b.test' to='x@extcb.test'/>"
        b.deliver("bob@b.test", "x@extcb.test", m)
        t.wait_until(lambda: r.stanzas == [m.encode()], 30, "the delivery")
    finally:
        c.close()
        lst.close()


def sc_callback_session_fails(world):
    """The callback's session ends before the answer: the waiting peer is
    answered invalid; an origin nobody serves is answered invalid at once."""
    def verify(conn, el):
        conn.close()
        return None

    r = Receiver("dies.test", world.ctx("dies.test"), external=None, dialback=None, verify=verify)
    lst = serve("dies.test", r, world)
    b = world.node()
    c = Claimant("dies.test")
    n = Claimant("nobody.test")
    try:
        c.submit("d" * 64)
        assert c.verdict() == "invalid"
        n.submit("e" * 64)
        assert n.verdict() == "invalid"
        b.daemon.wait_for("outbound S2S to nobody.test failed: tcp-connect-failed")
        # A rejected peer stays connected and may try again.
        c.conn.send(message("x@dies.test", 1))
        assert b.no_frame()
    finally:
        c.close()
        n.close()
        lst.close()


def sc_result_before_tls(world):
    """A db:result on a stream that has not completed TLS gets the stream
    error policy-violation and no callback."""
    b = world.node()
    c = Claimant("org.test", tls=False)
    try:
        c.submit("f" * 64)
        el = c.conn.expect("error")
        assert el.find("policy-violation") is not None, el.raw
        assert not b.daemon.find("initiating dialback callback")
    finally:
        c.close()


SCENARIOS = [sc_crossed, sc_requires_starttls, sc_external_after_answers,
             sc_callback_session_fails, sc_result_before_tls]


def build_zone(world):
    zones = netns.dnssec_zones()
    z = zones["test"]
    z.a("b.test", B)
    for domain, address in ORIGINS.items():
        z.a(domain, address)
    z.tlsa(5269, "extcb.test", 3, 1, 1, testca.tlsa_data(world.certs["extcb.test"], 1, 1))
    return zones


def main():
    wanted = set(sys.argv[1:])
    work = tempfile.mkdtemp(prefix="fenra-cb-", dir="/tmp")
    passed, failed = 0, []
    try:
        world = World(work)
        with netns.SignedDns(build_zone(world), work) as dns:
            world.trust_anchor = dns.trust_anchor
            passed, failed = w.run_scenarios(world, SCENARIOS, wanted)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
