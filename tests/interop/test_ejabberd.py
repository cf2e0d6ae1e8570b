#!/usr/bin/env python3
"""Federation between fenra-s2s (a.test) and ejabberd (c.test), both
directions, over STARTTLS with dialback (ejabberd requires STARTTLS before
any dialback, its packaged default), SASL EXTERNAL with DANE, and direct
TLS. Each cell starts its own DNS records, ejabberd node and fenra-s2s."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ejabberd  # noqa: E402
import world  # noqa: E402

world.enter(needs=[("ejabberd", ejabberd.available())])

C = "c.test"


class EjabberdCells(world.CellCase):
    def ejabberd(self, trusts_ca=False, direct_tls=False, **records):
        """The cell (see start_cell) with ejabberd for c.test."""
        self.start_cell(C, direct_tls=direct_tls, **records)
        return self.run_peer(ejabberd.Ejabberd(
            self.world.dir, C, world.ADDRESS[C], self.world.cert(C),
            cafile=self.world.ca.ca.cert if trusts_ca else None,
            direct_tls_port=world.DIRECT_TLS_PORT if direct_tls else None),
            users=("carol",))

    def test_cell06_ejabberd_to_fenra_starttls_dialback(self):
        e = self.ejabberd()
        self.peer_to_fenra(e, "carol")
        self.expect_log("inbound dialback key submission from c.test",
                        "dialback callback: c.test verified, inbound session",
                        "forwarding inbound message from carol@c.test/interop to alice@a.test")

    def test_cell07_fenra_to_ejabberd_starttls_dialback(self):
        e = self.ejabberd()
        self.fenra_to_peer(e, "carol")
        self.expect_log("connecting to xmpp.c.test:5269 for domain c.test (direct_tls=false)",
                        "outbound TLS handshake complete for c.test",
                        "dialback verify: valid key from c.test for stream",
                        "outbound dialback verified by c.test")

    def test_cell08_ejabberd_to_fenra_sasl_external(self):
        e = self.ejabberd(tlsa=True)
        self.peer_to_fenra(e, "carol")
        self.expect_log("inbound DANE for c.test: verified",
                        "inbound S2S authenticated: remote=c.test",
                        "forwarding inbound message from carol@c.test/interop to alice@a.test")

    def test_cell09_fenra_to_ejabberd_sasl_external(self):
        e = self.ejabberd(trusts_ca=True, tlsa=True)
        self.fenra_to_peer(e, "carol")
        self.expect_log("DANE result for c.test: verified",
                        "outbound SASL success from c.test",
                        "outbound S2S to c.test fully established")

    def test_cell10_fenra_to_ejabberd_direct_tls(self):
        e = self.ejabberd(direct_tls=True)
        self.fenra_to_peer(e, "carol")
        self.expect_log("connecting to xmpp.c.test:5270 for domain c.test (direct_tls=true)",
                        "outbound TLS handshake complete for c.test",
                        "outbound dialback verified by c.test")

    def test_both_ways_at_once_dialback(self):
        p = self.ejabberd()
        self.both_ways_at_once(p, "carol")
        self.expect_log("outbound dialback verified by c.test",
                        "dialback callback: c.test verified, inbound session")

    def test_large_stanzas(self):
        self.large_stanzas(self.ejabberd(), "carol")

    def test_iq_and_presence(self):
        p = self.ejabberd()
        self.iq_and_presence(p, "carol")
        self.expect_log()


if __name__ == "__main__":
    world.main()
