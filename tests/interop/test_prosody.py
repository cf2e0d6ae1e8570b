#!/usr/bin/env python3
"""Federation between fenra-s2s (a.test) and Prosody (b.test), both
directions, over STARTTLS with dialback, SASL EXTERNAL with DANE, and direct
TLS. Each cell starts its own DNS records, Prosody and fenra-s2s."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import prosody  # noqa: E402
import world  # noqa: E402

world.enter(needs=[("prosody", prosody.available())])

B = "b.test"


class ProsodyCells(world.CellCase):
    def prosody(self, trusts_ca=False, direct_tls=False, **records):
        """The cell (see start_cell) with Prosody for b.test."""
        self.start_cell(B, direct_tls=direct_tls, **records)
        return self.run_peer(prosody.Prosody(
            self.world.dir, B, world.ADDRESS[B], self.world.cert(B),
            cafile=self.world.ca.ca.cert if trusts_ca else None,
            direct_tls_port=world.DIRECT_TLS_PORT if direct_tls else None))

    def test_cell01_prosody_to_fenra_starttls_dialback(self):
        p = self.prosody()
        self.peer_to_fenra(p)
        self.expect_log("inbound dialback key submission from b.test",
                        "dialback callback: b.test verified, inbound session",
                        "forwarding inbound message from bob@b.test/interop to alice@a.test")

    def test_cell02_fenra_to_prosody_starttls_dialback(self):
        p = self.prosody()
        self.fenra_to_peer(p)
        self.expect_log("connecting to xmpp.b.test:5269 for domain b.test (direct_tls=false)",
                        "outbound TLS handshake complete for b.test",
                        "dialback verify: valid key from b.test for stream",
                        "outbound dialback verified by b.test")

    def test_cell03_prosody_to_fenra_sasl_external(self):
        p = self.prosody(tlsa=True)
        self.peer_to_fenra(p)
        self.expect_log("inbound DANE for b.test: verified",
                        "inbound S2S authenticated: remote=b.test",
                        "forwarding inbound message from bob@b.test/interop to alice@a.test")

    def test_cell04_fenra_to_prosody_sasl_external(self):
        p = self.prosody(trusts_ca=True, tlsa=True)
        self.fenra_to_peer(p)
        self.expect_log("DANE result for b.test: verified",
                        "outbound SASL success from b.test",
                        "outbound S2S to b.test fully established")

    def test_cell05_fenra_to_prosody_direct_tls(self):
        p = self.prosody(direct_tls=True)
        self.fenra_to_peer(p)
        self.expect_log("connecting to xmpp.b.test:5270 for domain b.test (direct_tls=true)",
                        "outbound TLS handshake complete for b.test",
                        "outbound dialback verified by b.test")

    def test_both_ways_at_once_dialback(self):
        p = self.prosody()
        self.both_ways_at_once(p)
        self.expect_log("outbound dialback verified by b.test",
                        "dialback callback: b.test verified, inbound session")

    def test_large_stanzas(self):
        self.large_stanzas(self.prosody())

    def test_iq_and_presence(self):
        p = self.prosody()
        self.iq_and_presence(p)
        self.expect_log()

    def test_dane_mismatch_fails_delivery_to_prosody(self):
        self.prosody(trusts_ca=True, wrong_tlsa=True)
        f = self.fenra
        frm, to = "alice@a.test/core", "bob@b.test"
        f.deliver(frm, to, world.chat_message(to, "not for impostors", "dm1", frm=frm))
        got = f.wait_failed(to, world.WAIT)
        if got is None:
            self.fail_with_evidence("no DeliveryFailed for %s" % to)
        self.assertEqual(got, (frm, to, "dane-verification-failed"), self.evidence())
        self.assertTrue(f.find("DANE result for b.test: FAILED"), self.evidence())

    def test_dane_mismatch_refuses_prosody_inbound(self):
        # EXTERNAL is withheld, and the dialback callback meets the same
        # contradicting records, so the stream is refused.
        p = self.prosody(wrong_tlsa=True)
        f = self.fenra
        client = self.login(p, "bob")
        client.send(world.chat_message("alice@a.test", "from an impostor", "dm2"))
        bounce = client.wait_stanza(lambda e: e.get("id") == "dm2", world.WAIT)
        self.assertEqual(bounce.get("type"), "error", self.evidence())
        self.assertIsNone(f.wait_inbound(client.full_jid, 0.5), self.evidence())
        for line in ("inbound DANE for b.test: not verified (will offer dialback)",
                     "DANE result for b.test: FAILED",
                     "dialback callback: b.test invalid, inbound session"):
            self.assertTrue(f.find(line), "no %r in our log\n%s" % (line, self.evidence()))

if __name__ == "__main__":
    world.main()
