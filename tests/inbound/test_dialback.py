"""Dialback in the receiving role, end to end: a remote server on an inbound
stream presents keys for b.test and c.test; the daemon calls back each
domain's authoritative server (simulated here on 127.0.0.2 and 127.0.0.3,
found through DNS in the test's own namespace) over an outbound session, and
applies the verdicts: valid origins join the stream's authenticated domains,
so one stream carries both; an invalid verdict authenticates nothing.
"""

import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import s2s_world as w  # noqa: E402
import xmpp_peer as xp  # noqa: E402


def authoritative(world, domain, address, verdict):
    """DOMAIN's server on ADDRESS:5269 as a callback meets it: STARTTLS,
    then dialback; every db:verify is answered with VERDICT (and kept in
    .elements), the caller's own db:result with valid."""
    r = xp.Receiver(domain, world.ctx(domain), external=None, verify=lambda conn, el: verdict)
    r.listener = xp.PeerListener(address, 5269, r.serve)
    return r


def verifies(r):
    return [(e.get("from"), e.get("to"), e.get("id"), e.text) for e in r.elements
            if e.name == "db:verify"]


class ReceivingRole(w.InboundCase):
    zone = netns.Zone().a("b.test", "127.0.0.2").a("c.test", "127.0.0.3").a("d.test", "127.0.0.4")
    with_core = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.auth = {d: authoritative(cls.world, d, "127.0.0.%d" % n, v) for d, n, v in (
            ("b.test", 2, "valid"), ("c.test", 3, "valid"), ("d.test", 4, "invalid"))}

    @classmethod
    def tearDownClass(cls):
        for a in cls.auth.values():
            a.listener.close()
        super().tearDownClass()

    def tearDown(self):
        for a in self.auth.values():
            self.assertEqual(a.listener.errors, [])

    def stanza(self):
        kind, fields = self.core.recv_frame()
        self.assertEqual(kind, t.INBOUND_STANZA)
        return fields[2].decode()

    def test_valid_keys_authenticate_two_domains_on_one_stream(self):
        p = self.a.peer().negotiate_tls("b.test", offer=xp.DIALBACK_OFFER)
        p.send("<db:result from='b.test' to='a.test'>key-for-b</db:result>")
        p.expect(xp.db_verdict("a.test", "b.test", "valid"))
        self.assertIn(("a.test", "b.test", p.stream_id, "key-for-b"),
                      verifies(self.auth["b.test"]))
        slot = p.slot
        self.d.wait_for("dialback callback: b.test verified, inbound session %d authenticated"
                        % slot, start=self.mark)
        p.send("<db:result from='c.test' to='a.test'>key-for-c</db:result>")
        p.expect(xp.db_verdict("a.test", "c.test", "valid"))
        p.send("<message from='x@b.test' to='y@a.test' id='1'/>"
               "<message from='x@c.test' to='y@a.test' id='2'/>"
               "<message from='x@d.test' to='y@a.test' id='3'/>"
               "<message from='x@b.test' to='y@a.test' id='4'/>")
        self.assertEqual(self.stanza(), "<message from='x@b.test' to='y@a.test' id='1'/>")
        self.assertEqual(self.stanza(), "<message from='x@c.test' to='y@a.test' id='2'/>")
        self.assertEqual(self.stanza(), "<message from='x@b.test' to='y@a.test' id='4'/>")
        self.d.wait_for("inbound stanza from unauthenticated domain, dropping: from=x@d.test",
                        start=self.mark)

    def test_invalid_key_authenticates_nothing(self):
        p = self.a.peer().negotiate_tls("d.test", offer=xp.DIALBACK_OFFER)
        p.send("<db:result from='d.test' to='a.test'>forged</db:result>")
        p.expect(xp.db_verdict("a.test", "d.test", "invalid"))
        self.d.wait_for("dialback callback: d.test invalid, inbound session %d rejected"
                        % p.slot, level="warn", start=self.mark)
        p.send("<message from='d.test' to='a.test' id='no'/>")
        p.nothing()
        with self.assertRaises(OSError):
            self.core.recv_frame(timeout=0.5)


def submit_key(a, domain, key, verdict, idle=600):
    """A peer that offers KEY for DOMAIN and gets VERDICT (IDLE: the idle
    time-out the daemon advertises)."""
    p = a.peer()
    p.negotiate_tls(domain)
    p.expect(xp.dialback_offer(idle))
    p.send("<db:result from='%s' to='a.test'>%s</db:result>" % (domain, key))
    p.expect(xp.db_verdict("a.test", domain, verdict), timeout=10)
    return p


class Deadlines(unittest.TestCase):
    def test_a_silent_authoritative_server_makes_the_key_invalid(self):
        zone = netns.Zone()
        zone.a("e.test", "127.0.0.6")
        silent = socket.create_server(("127.0.0.6", 5269))
        world, a = w.inbound_world(zone, extra=["--dialback-timeout", "1"])
        try:
            submit_key(a, "e.test", "key", "invalid")
        finally:
            silent.close()
            self.assertEqual(world.stop(), 0)

    def test_an_authenticated_stream_without_bytes_is_closed(self):
        zone = netns.Zone()
        zone.a("b.test", "127.0.0.5")
        world, a = w.inbound_world(zone, extra=["--inbound-idle-timeout", "1"])
        auth = authoritative(world, "b.test", "127.0.0.5", "valid").listener
        try:
            p = submit_key(a, "b.test", "key-for-b", "valid", idle=1)
            p.expect("</stream:stream>", timeout=5)
            a.daemon.wait_for(" idle for 1 s, closing the stream")
            p.send("</stream:stream>")
            self.assertTrue(p.wait_closed(timeout=5))
        finally:
            auth.close()
            self.assertEqual(world.stop(), 0)


if __name__ == "__main__":
    unittest.main()
