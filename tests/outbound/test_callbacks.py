#!/usr/bin/env python3
"""Dialback callbacks of fenra-s2s (b.test on 127.0.0.2) inside a private
network namespace with its own DNS server. Remote servers that claim an
origin domain connect to the daemon (the test plays them, byte by byte), and
the origin's authoritative server is played by the test too, so that its
answers can be delayed, reordered, forged or withheld.

Usage: test_callbacks.py [scenario ...]
"""

import os
import ssl
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import s2s_world as w  # noqa: E402
import testca  # noqa: E402
from xmpp_peer import db_verify_answer  # noqa: E402

B = "127.0.0.2"
ORIGINS = {"org.test": "127.0.2.1", "req.test": "127.0.2.2", "extcb.test": "127.0.2.3",
           "dies.test": "127.0.2.4", "nobody.test": "127.0.2.9"}


class Claimant:
    """A remote server that claims ORIGIN on a stream to the daemon B."""

    def __init__(self, b, origin, tls=True):
        self.origin = origin
        self.conn = b.peer()
        if tls:
            self.conn.negotiate_tls(origin, to="b.test")
            self.conn.expect("features")
        else:
            self.conn.open_stream(origin, to="b.test")
        self.stream_id = self.conn.stream_id

    def submit(self, key):
        self.conn.send("<db:result from='%s' to='b.test'>%s</db:result>" % (self.origin, key))

    def verdict(self):
        el = self.conn.expect("result")
        assert el.get("from") == "b.test" and el.get("to") == self.origin, el.raw
        return el.get("type")


def message(frm, n):
    return "<message from='%s' to='bob@b.test' type='chat' id='m%d'><body>%d</body></message>" % (
        frm, n, n)


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

    with world.remote("org.test", external=None, verify=verify, check=False) as r, \
            world.node("b.test") as b:
        impostor = Claimant(b, "org.test")
        genuine = Claimant(b, "org.test")
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

    with world.remote("req.test", external=None, verify=verify, check=False) as r, \
            world.node("b.test") as b:
        c = Claimant(b, "req.test")
        c.submit("a" * 64)
        assert c.verdict() == "valid"
        wait_for = b.daemon.wait_for
        wait_for("outbound dialback verified by req.test")
        kinds = [e.name for e in r.elements]
        assert kinds[:3] == ["starttls", "db:verify", "db:result"], kinds
        m = "<message from='bob@b.test' to='rita@req.test'/>"
        b.deliver("bob@b.test", "rita@req.test", m)
        t.wait_until(lambda: r.stanzas == [m.encode()], 30, "the delivery over the callback session")
        assert r.listener.accepted == 1
        # A later callback to the established session goes out at once.
        c2 = Claimant(b, "req.test")
        c2.submit("b" * 64)
        assert c2.verdict() == "valid"
        assert r.listener.accepted == 1


def sc_external_after_answers(world):
    """A DANE-verified callback session holds its SASL EXTERNAL back until the
    db:verify answer has arrived."""
    answered = []

    def verify(conn, el):
        time.sleep(0.5)
        answered.append(time.monotonic())
        return "valid"

    auth_at = []
    with world.remote("extcb.test", verify=verify, check=False) as r, \
            world.node("b.test") as b:
        orig_handle = r.handle

        def handle(conn, el):
            if el.local == "auth":
                auth_at.append(time.monotonic())
            orig_handle(conn, el)

        r.handle = handle
        c = Claimant(b, "extcb.test")
        c.submit("c" * 64)
        assert c.verdict() == "valid"
        t.wait_until(lambda: auth_at, 30, "the EXTERNAL auth")
        assert auth_at[0] >= answered[0], (auth_at, answered)
        assert [e.local for e in r.elements][:3] == ["starttls", "verify", "auth"]
        b.daemon.wait_for("outbound S2S to extcb.test fully established")
        m = "<message from='bob@b.test' to='x@extcb.test'/>"
        b.deliver("bob@b.test", "x@extcb.test", m)
        t.wait_until(lambda: r.stanzas == [m.encode()], 30, "the delivery")


def sc_callback_session_fails(world):
    """The callback's session ends before the answer: the waiting peer is
    answered invalid; an origin nobody serves is answered invalid at once."""
    def verify(conn, el):
        conn.close()
        return None

    with world.remote("dies.test", external=None, dialback=None, verify=verify, check=False), \
            world.node("b.test") as b:
        c = Claimant(b, "dies.test")
        n = Claimant(b, "nobody.test")
        c.submit("d" * 64)
        assert c.verdict() == "invalid"
        n.submit("e" * 64)
        assert n.verdict() == "invalid"
        b.daemon.wait_for("outbound S2S to nobody.test failed: tcp-connect-failed")
        # A rejected peer stays connected and may try again.
        c.conn.send(message("x@dies.test", 1))
        assert b.no_frame()


def sc_result_before_tls(world):
    """A db:result on a stream that has not completed TLS gets the stream
    error policy-violation and no callback."""
    with world.node("b.test") as b:
        c = Claimant(b, "org.test", tls=False)
        c.submit("f" * 64)
        el = c.conn.expect("error")
        assert el.find("policy-violation") is not None, el.raw
        assert not b.daemon.find("initiating dialback callback")


SCENARIOS = [sc_crossed, sc_requires_starttls, sc_external_after_answers,
             sc_callback_session_fails, sc_result_before_tls]


def build_zone(world):
    zones = netns.dnssec_zones()
    z = zones["test"]
    z.a("b.test", B)
    for domain, address in ORIGINS.items():
        z.a(domain, address)
    z.tlsa(5269, "extcb.test", 3, 1, 1, testca.tlsa_data(world.cert("extcb.test"), 1, 1))
    return zones


if __name__ == "__main__":
    sys.exit(w.main(SCENARIOS, build_zone, addresses=dict(ORIGINS, **{"b.test": B})))
