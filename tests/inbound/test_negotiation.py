"""Inbound connections to the real fenra-s2s: the exact bytes of the
negotiation up to the offer of dialback or SASL EXTERNAL, the stream errors,
dialback requests, and the registry of 256 slots.

Runs in its own network namespace with its own DNS server: after the stream
restart the daemon looks up the peer's TLSA records, and the dialback
callback looks up its SRV records.
"""

import os
import socket
import ssl
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


# The shared worlds keep many connections from 127.0.0.1 open unauthenticated.
MANY = ["--max-unauthenticated-per-address", "1000"]


class Negotiation(w.InboundCase):
    # Names under slow.test go to a nameserver that never answers.
    zone = netns.Zone().forward("slow.test", netns.STALLED_ADDRESS)
    extra = MANY

    @classmethod
    def setUpClass(cls):
        cls.stalled = netns.StalledServer().__enter__()
        super().setUpClass()

    def test_peer_gone_while_its_tlsa_lookup_hangs(self):
        # Our restarted header waits for the lookup; the peer leaves first,
        # closing its session with the lookup in flight (the sanitizer build
        # would see its answer touch the freed session). Others negotiate
        # meanwhile.
        p = self.a.peer()
        p.open_stream("x.slow.test")
        p.send(xp.STARTTLS)
        p.expect(xp.PROCEED)
        p.start_tls_client()
        p.send(xp.stream_header("x.slow.test", "a.test"))
        t.wait_until(lambda: self.stalled.queries > 0, 30, "a query to the stalled server")
        self.assertTrue(p.nothing(0.2))
        p.close()
        self.d.wait_for("closing inbound S2S session id=%d" % p.slot, start=self.mark)
        self.a.peer().negotiate_tls(offer=xp.DIALBACK_OFFER)

    def test_first_header_and_features_exact(self):
        p = self.a.peer()
        p.send(xp.stream_header("b.test", "a.test"))
        sid = p.expect_header()
        self.assertRegex(sid, r"^s2s-\d+-[0-9a-f]+$")
        self.assertEqual(len(sid), 32)
        p.expect(xp.FEATURES_STARTTLS)
        p.nothing()

    def test_starttls_handshake_without_certificate_then_dialback(self):
        p = self.a.peer().negotiate_tls(offer=xp.DIALBACK_OFFER)
        n = p.slot
        self.d.wait_for("inbound S2S id=%d starting TLS handshake" % n, start=self.mark)
        self.d.wait_for("inbound S2S id=%d TLS handshake complete" % n, start=self.mark)
        self.d.wait_for("inbound DANE: no TLSA records for b.test", start=self.mark)

    def test_handshake_with_self_signed_certificate(self):
        d = t.temp_dir()
        own = testca.self_signed(d, "b.test")
        p = self.a.peer().negotiate_tls(cert=own.cert, key=own.key, offer=xp.DIALBACK_OFFER)
        self.assertIsNotNone(p.peer_cert_der())

    def test_handshake_with_expired_certificate(self):
        old = self.world.ca.issue("old.b.test", expired=True)
        self.a.peer().negotiate_tls(cert=old.cert, key=old.key, offer=xp.DIALBACK_OFFER)

    def test_bytes_after_starttls_in_the_same_write_are_not_parsed(self):
        p = self.a.peer()
        p.open_stream()
        p.send(xp.STARTTLS + "<stream:stream xmlns:stream='http://etherx.jabber.org/streams'/>")
        p.expect(xp.PROCEED)
        p.start_tls_client()
        p.send(xp.stream_header("b.test", "a.test"))
        p.expect_header()
        p.expect(xp.DIALBACK_OFFER)

    def test_parse_error_gets_not_well_formed_then_our_side_ends(self):
        p = self.a.peer()
        p.open_stream()
        p.send("<x>&nonsense;</x>")
        p.expect(xp.stream_error("not-well-formed"))
        self.d.wait_for("inbound S2S id=%d XML parse error: InvalidEntityReference"
                        % p.slot, level="warn", start=self.mark)
        # Our direction ends after the error; what the peer still sends is
        # read and dropped, and the connection goes once the peer closes.
        self.assertTrue(p.wait_closed())
        p.send(xp.STARTTLS * 1000)
        closing = "closing inbound S2S session id=%d" % p.slot
        self.assertEqual(self.d.find(closing, start=self.mark), [])
        p.sock.shutdown(socket.SHUT_WR)
        self.d.wait_for(closing, start=self.mark)
        # A peer that never closes is cut off a few seconds later.
        q = self.a.peer()
        q.open_stream()
        q.send("<x>&nonsense;</x>")
        q.expect(xp.stream_error("not-well-formed"))
        self.d.wait_for("inbound S2S id=%d peer did not close its side, closing"
                        % q.slot, start=self.mark)

    def test_header_for_another_domain_is_host_unknown(self):
        p = self.a.peer()
        p.send(xp.stream_header("b.test", "c.test"))
        p.expect_header()
        p.expect(xp.stream_error("host-unknown"))
        self.assertTrue(p.wait_closed())

    def test_raw_control_byte_or_nul_reference_is_not_well_formed(self):
        for bad in ("<x a='v&#0;'/>", "<x>\x01</x>", "<x>\xc3</x>"):
            p = self.a.peer()
            p.open_stream()
            p.send(bad.encode("latin-1"))
            p.expect(xp.stream_error("not-well-formed"))

    def test_doctype_is_not_well_formed(self):
        p = self.a.peer()
        p.send("<!DOCTYPE x>")
        p.expect(xp.stream_error("not-well-formed"))
        self.d.wait_for("XML parse error: ForbiddenXmlConstruct", start=self.mark)

    def test_plain_auth_is_not_authorized(self):
        p = self.a.peer().negotiate_tls(offer=xp.DIALBACK_OFFER)
        p.send("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='PLAIN'>AGIAYw==</auth>")
        p.expect(xp.stream_error("not-authorized"))
        self.assertTrue(p.wait_closed())

    def test_external_without_dane_fails_and_dialback_remains(self):
        p = self.a.peer().negotiate_tls(offer=xp.DIALBACK_OFFER)
        p.send(xp.AUTH_EXTERNAL)
        p.expect(xp.SASL_FAILURE)
        # The callback to b.test cannot be made here (no server), so it is
        # answered invalid; the stream stays open.
        p.send("<db:result from='b.test' to='a.test'>somekey</db:result>")
        p.expect(xp.db_verdict("a.test", "b.test", "invalid"))
        self.d.wait_for("initiating dialback callback to b.test for stream " + p.stream_id,
                        start=self.mark)
        self.d.wait_for("dialback callback: b.test invalid, inbound session %d rejected"
                        % p.slot, level="warn", start=self.mark)
        p.nothing()

    def test_external_before_restart_is_not_well_formed(self):
        p = self.a.peer()
        p.open_stream()
        p.send(xp.AUTH_EXTERNAL)
        p.expect(xp.stream_error("not-well-formed"))

    def test_result_before_tls_is_a_policy_violation(self):
        p = self.a.peer()
        p.open_stream()
        p.send("<db:result from='b.test' to='a.test'>somekey</db:result>")
        p.expect(xp.stream_error("policy-violation"))
        self.d.wait_for("inbound dialback key submission from b.test", start=self.mark)
        self.assertTrue(p.wait_closed())
        self.assertEqual(self.d.find("initiating dialback callback", start=self.mark), [])

    def test_verify_is_answered_before_and_after_tls(self):
        request = "<db:verify from='b.test' to='a.test' id='s2s-9-1'>%s</db:verify>"
        answer = ("<db:verify xmlns:db='jabber:server:dialback' from='a.test' to='b.test' "
                  "id='s2s-9-1' type='invalid'/>")
        p = self.a.peer()
        p.open_stream()
        p.send(request % ("0" * 64))
        p.expect(answer)
        p.send(xp.STARTTLS)
        p.expect(xp.PROCEED)
        p.start_tls_client()
        p.send(xp.stream_header("b.test", "a.test"))
        p.expect_header()
        p.expect(xp.DIALBACK_OFFER)
        p.send(request % ("A" * 64))
        p.expect(answer)
        self.d.wait_for("dialback verify: invalid key from b.test for stream s2s-9-1",
                        level="warn", start=self.mark)

    def test_stream_close_is_answered(self):
        p = self.a.peer()
        p.open_stream()
        p.send("</stream:stream>")
        p.expect("</stream:stream>")
        p.close()
        self.d.wait_for("closing inbound S2S session id=%d" % p.slot, start=self.mark)

    def test_handshake_garbage_closes_the_session(self):
        p = self.a.peer()
        p.open_stream()
        p.send(xp.STARTTLS)
        p.expect(xp.PROCEED)
        p.send(b"\x16\x03\x01\x00\x05hello")
        self.assertTrue(p.wait_closed())
        n = p.slot
        self.d.wait_for("inbound S2S id=%d TLS handshake failed" % n, level="error",
                        start=self.mark)
        self.d.wait_for("closing inbound S2S session id=%d" % n, start=self.mark)


class Idle(w.InboundCase):
    """Sessions that wait for their peer leave the daemon idle: write
    interest is one-shot, also during the TLS handshake."""

    core_socket = False
    extra = MANY

    def assert_idle(self):
        self.assertLess(t.cpu_seconds_while_sleeping(self.a.daemon.pid), 0.3)

    def test_handshake_waiting_for_the_peer(self):
        p = self.a.peer()
        p.open_stream()
        p.send(xp.STARTTLS)
        p.expect(xp.PROCEED)
        self.a.daemon.wait_for("starting TLS handshake")
        self.assert_idle()

    def test_handshake_whose_peer_does_not_read(self):
        # A client hello, then nothing read: the server's answer may wait
        # for writability.
        p = self.a.peer(rcvbuf=1024)
        p.open_stream()
        p.send(xp.STARTTLS)
        p.expect(xp.PROCEED)
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = xp.client_context().wrap_bio(incoming, outgoing, server_hostname="a.test")
        with self.assertRaises(ssl.SSLWantReadError):
            tls.do_handshake()
        p.send(outgoing.read())
        self.assert_idle()

    def test_peer_that_does_not_read_its_answers(self):
        p = self.a.peer(rcvbuf=4096)
        p.send_header(frm="b.test", to="a.test")
        request = "<db:verify from='b.test' to='a.test' id='%s'>k</db:verify>"
        p.send("".join(request % i for i in range(20000)))
        p.send(request % "last")
        self.a.daemon.wait_for("for stream last", timeout=120)
        self.assert_idle()
        p.close()


class Registry(unittest.TestCase):
    """Slots: round-robin reuse, the 257th connection, release on close."""

    def setUp(self):
        self.world, self.a = w.inbound_world(core_socket=False)
        self.d = self.a.daemon

    def tearDown(self):
        self.assertEqual(self.world.stop(), 0)

    def open(self):
        # From 64 addresses in turn, 127.0.0.1 to 127.0.0.64.
        p = self.a.peer("127.0.0.%d" % (1 + len(self.a.peers) % 64))
        p.open_stream()
        return p.slot

    def test_slots_are_handed_out_round_robin(self):
        self.assertEqual([self.open() for _ in range(3)], [0, 1, 2])
        mark = self.d.mark()
        self.a.peers[1].close()
        self.d.wait_for("closing inbound S2S session id=1", start=mark)
        # The freed slot 1 is not taken again before the cursor comes round.
        self.assertEqual(self.open(), 3)
        self.assertEqual(self.open(), 4)

    def test_a_freed_slot_is_reused(self):
        for _ in range(41):
            self.open()
        mark = self.d.mark()
        self.a.peers[40].close()
        self.d.wait_for("closing inbound S2S session id=40", start=mark)
        self.assertEqual(self.open(), 41)

    def idle(self, count, sources):
        """COUNT connections that never send a byte, from SOURCES in turn."""
        return [self.a.peer(sources[i % len(sources)]) for i in range(count)]

    def assert_another_server_negotiates(self):
        """A server from elsewhere gets its header answered and a verify
        request answered at once."""
        p = self.a.peer("127.0.0.200")
        p.send(xp.stream_header("b.test", "a.test"))
        p.expect_header(timeout=1)
        p.expect(xp.FEATURES_STARTTLS, timeout=1)
        p.send("<db:verify from='b.test' to='a.test' id='x'>k</db:verify>")
        p.expect("<db:verify xmlns:db='jabber:server:dialback' from='a.test' to='b.test' "
                 "id='x' type='invalid'/>", timeout=1)

    def test_one_address_holds_at_most_8_unauthenticated_connections(self):
        mark = self.d.mark()
        peers = self.idle(256, ["127.0.0.1"])
        self.assertTrue(all(p.wait_closed() for p in peers[8:]))
        self.d.wait_for("inbound S2S connection from 127.0.0.1 refused: 8 connections from "
                        "that address are not authenticated yet", level="warn", start=mark)
        for p in peers[:8]:
            p.nothing(0.01)
        self.assert_another_server_negotiates()

    def test_with_every_slot_taken_the_oldest_unauthenticated_gives_way(self):
        peers = self.idle(256, ["127.0.0.%d" % (1 + i) for i in range(64)])
        self.d.wait_for("accepted inbound S2S connection id=255")
        self.assert_another_server_negotiates()
        oldest = peers[0]
        oldest.expect_header(to="", timeout=1)
        oldest.expect(xp.stream_error("connection-timeout"), timeout=1)
        self.assertTrue(oldest.wait_closed())
        peers[1].nothing(0.01)

    def test_shutdown_releases_sessions_without_log_lines(self):
        for _ in range(3):
            self.open()
        self.assertEqual(self.d.stop(), 0)
        self.assertEqual(self.d.lines[-1].message, "fenra-s2s shutdown complete")
        self.assertEqual(self.d.find("closing inbound S2S session"), [])
        for p in self.a.peers:
            self.assertTrue(p.wait_closed())


class Deadlines(w.InboundCase):
    """A peer that does not get its stream authenticated in time."""

    core_socket = False
    extra = ["--negotiation-timeout", "1", "--close-timeout", "1"]

    def test_silent_peer_after_tcp(self):
        p = self.a.peer()
        p.expect_header(to="", timeout=5)
        p.expect(xp.stream_error("connection-timeout"))
        # The peer does not close its side either: the daemon closes.
        self.assertTrue(p.wait_closed(timeout=5))

    def test_peer_that_stops_in_the_tls_handshake(self):
        p = self.a.peer()
        p.open_stream()
        p.send(xp.STARTTLS)
        p.expect(xp.PROCEED)
        self.assertTrue(p.wait_closed(timeout=5))


if __name__ == "__main__":
    unittest.main()
