"""The whole inbound road over SASL EXTERNAL: a remote server whose
certificate matches its TLSA record (served by dnsmasq in the test's own
network namespace) negotiates STARTTLS, is offered and uses EXTERNAL,
restarts, and its stanzas reach the test cores as InboundStanza frames,
rebuilt byte for byte; spoofed senders are dropped.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import s2s_world as w  # noqa: E402
import testca  # noqa: E402
import xmpp_peer as xp  # noqa: E402


def signed_zones(world):
    zones = netns.dnssec_zones()
    zone = zones["test"]
    b_key = testca.tlsa_data(world.cert("b.test"), 1, 1)
    # b.test publishes its server and pins its key there (signed).
    zone.srv("_xmpp-server._tcp.b.test", "xmpp.b.test", 5269)
    zone.a("xmpp.b.test", "127.0.0.2")
    zone.tlsa(5269, "xmpp.b.test", 3, 1, 1, b_key)
    # c.test pins a key its server does not have.
    zone.tlsa(5269, "c.test", 3, 1, 1, b_key)
    return zones


class External(w.InboundCase):
    zone = signed_zones
    with_core = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.b, cls.c = cls.world.cert("b.test"), cls.world.cert("c.test")

    def tearDown(self):
        # Every frame a test caused was read by the test.
        with self.assertRaises(OSError):
            self.core.recv_frame(timeout=0.3)

    def established(self, before_auth=""):
        """A peer for b.test authenticated by SASL EXTERNAL (having sent
        before_auth first)."""
        p = self.a.peer().negotiate_tls(cert=self.b.chain, key=self.b.key, offer=xp.EXTERNAL_OFFER)
        p.send(before_auth + xp.AUTH_EXTERNAL)
        p.expect(xp.SASL_SUCCESS)
        p.send(xp.stream_header("b.test", "a.test"))
        p.expect_header()
        p.expect(xp.ESTABLISHED_OFFER)
        return p

    def frame(self, core=None):
        kind, fields = (core or self.core).recv_frame()
        self.assertEqual(kind, t.INBOUND_STANZA)
        return [f.decode() for f in fields]

    def test_external_is_offered_succeeds_and_establishes(self):
        p = self.established()
        self.d.wait_for("inbound DANE for b.test: verified", start=self.mark)
        self.d.wait_for("inbound S2S authenticated: remote=b.test", start=self.mark)
        self.d.wait_for("inbound S2S stream established: remote=b.test", start=self.mark)
        p.send("<message from='juliet@b.test/balcony' to='romeo@a.test' type='chat' id='m1'>"
               "<body>hi &lt;3</body></message>")
        self.assertEqual(self.frame(), [
            "juliet@b.test/balcony", "romeo@a.test",
            "<message from='juliet@b.test/balcony' to='romeo@a.test' type='chat' id='m1'>"
            "<body>hi &lt;3</body></message>"])
        self.d.wait_for("forwarding inbound message from juliet@b.test/balcony to romeo@a.test",
                        start=self.mark)

    def test_rebuilt_stanzas_are_escaped_and_namespace_complete(self):
        p = self.established()
        p.send("<message from='b.test/x&apos; evil=&apos;1' to='a.test' id='&lt;/message&gt;' "
               "xml:lang='en' other='dropped'><db:thing db:n='1'/>"
               "<x xmlns='urn:x' xmlns:y='urn:y'><y:z/></x></message>"
               "<presence from='b.test' to='a.test'/>"
               "<iq xmlns='jabber:server' from='b.test' to='a.test' type='get' id='q'>"
               "<ping xmlns='urn:xmpp:ping'/></iq>")
        self.assertEqual(self.frame(), [
            "b.test/x' evil='1", "a.test",
            "<message from='b.test/x&apos; evil=&apos;1' to='a.test' id='&lt;/message&gt;' "
            "xml:lang='en' xmlns:db='jabber:server:dialback'><db:thing db:n='1'/>"
            "<x xmlns='urn:x' xmlns:y='urn:y'><y:z/></x></message>"])
        self.assertEqual(self.frame()[2], "<presence from='b.test' to='a.test'/>")
        self.assertEqual(self.frame()[2],
                         "<iq from='b.test' to='a.test' type='get' id='q' xmlns='jabber:server'>"
                         "<ping xmlns='urn:xmpp:ping'/></iq>")

    def test_spoofed_and_broken_stanzas_are_dropped(self):
        p = self.established()
        p.send("<message from='mallory@victim.test' to='a.test'><body>1</body></message>"
               "<message from='victim.test/x@b.test' to='a.test'/>"
               "<message to='a.test'/>"
               "<message from='b.test' to='a.test'><body a<b='1'/></message>"
               "<message from='b.test/" + "r" * 600 + "' to='a.test'/>"
               "<message from='b.test' to='a.test' id='last'/>")
        self.assertEqual(self.frame()[2], "<message from='b.test' to='a.test' id='last'/>")
        for line in ("inbound stanza from unauthenticated domain, dropping: "
                     "from=mallory@victim.test",
                     "inbound stanza from unauthenticated domain, dropping: "
                     "from=victim.test/x@b.test",
                     "inbound stanza missing from/to, dropping",
                     "inbound stanza malformed, dropping: from=b.test",
                     "inbound stanza too large, dropping: from=b.test/rrr"):
            self.d.wait_for(line, level="warn", start=self.mark)

    def test_nothing_is_forwarded_before_authentication(self):
        p = self.established("<message from='b.test' to='a.test'><body>early</body></message>")
        p.send("<message from='b.test' to='a.test' id='after'/>")
        self.assertEqual(self.frame()[2], "<message from='b.test' to='a.test' id='after'/>")

    def test_contradicting_tlsa_record_offers_dialback(self):
        p = self.a.peer().negotiate_tls(
            frm="c.test", cert=self.c.chain, key=self.c.key, offer=xp.DIALBACK_OFFER)
        self.d.wait_for("inbound DANE for c.test: not verified (will offer dialback)",
                        start=self.mark)
        p.send(xp.AUTH_EXTERNAL)
        p.expect(xp.SASL_FAILURE)

    def test_certificate_of_another_domain_is_not_verified(self):
        # c.test's certificate presented by a peer claiming b.test.
        p = self.a.peer().negotiate_tls(
            frm="b.test", cert=self.c.chain, key=self.c.key, offer=xp.DIALBACK_OFFER)
        p.send("<message from='b.test' to='a.test'/>")
        p.nothing()

    def test_two_cores_take_turns(self):
        second = self.a.connect_core()
        try:
            p = self.established()
            for i in range(4):
                p.send("<message from='b.test' to='a.test' id='%d'/>" % i)
            got = {}
            for core in (self.core, second):
                got[core] = [self.frame(core)[2] for _ in range(2)]
            ids = sorted((int(s.split("id='")[1].split("'")[0]), c) for c, ss in got.items()
                         for s in ss)
            order = [c for _, c in ids]
            self.assertNotEqual(order[0], order[1])
            self.assertEqual(order[0], order[2])
            self.assertEqual(order[1], order[3])
        finally:
            self.a.cores.remove(second)
            second.close()
            self.d.wait_for("core disconnected from IPC slot=1", start=self.mark)

    def test_large_stanzas_arrive_whole_and_one_over_the_limit_ends_the_stream(self):
        p = self.established()
        for size in (20000, 60000, 65535):
            stanza = t.payload_message("b.test", "a.test", size)
            p.send(stanza)
            self.assertEqual(self.frame(), ["b.test", "a.test", stanza])
        p.send(t.payload_message("b.test", "a.test", 70000))
        p.expect(xp.stream_error("policy-violation", "stanza too large"))
        p.send("</stream:stream>")
        p.close()
        self.d.wait_for("closing inbound S2S session", start=self.mark)
        q = self.established()
        q.send("<message from='b.test' to='a.test' id='next'/>")
        self.assertEqual(self.frame()[2], "<message from='b.test' to='a.test' id='next'/>")

    def test_stanzas_in_one_tls_record_and_split_across_records(self):
        p = self.established()
        batch = "".join("<message from='b.test' to='a.test' id='%d'><body>%s</body></message>"
                        % (i, "w" * (i * 37 % 300)) for i in range(200))
        data = batch.encode()
        # One write of 7000 bytes, 3-byte records, then the rest at once.
        p.send(data[:7000])
        for i in range(7000, 7100, 3):
            p.send(data[i:min(i + 3, 7100)])
        p.send(data[7100:])
        for i in range(200):
            self.assertIn("id='%d'" % i, self.frame()[2])


if __name__ == "__main__":
    unittest.main()
