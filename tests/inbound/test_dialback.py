"""Dialback in the receiving role, end to end: a remote server on an inbound
stream presents keys for b.test and c.test; the daemon calls back each
domain's authoritative server (simulated here on 127.0.0.2 and 127.0.0.3,
found through DNS in the test's own namespace) over an outbound session, and
applies the verdicts: valid origins join the stream's authenticated domains,
so one stream carries both; an invalid verdict authenticates nothing.
"""

import os
import socket
import ssl
import sys
import threading
import unittest
import xml.parsers.expat

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import inbound_world as w  # noqa: E402
import testca  # noqa: E402


class Authoritative(threading.Thread):
    """DOMAIN's server on ADDRESS:5269 as a callback meets it: STARTTLS,
    then dialback features; every db:verify is answered with VERDICT (and
    recorded), every db:result of the caller's own dialback with valid."""

    def __init__(self, domain, address, cert, verdict):
        super().__init__(daemon=True)
        self.domain = domain
        self.cert = cert
        self.verdict = verdict
        self.verifies = []  # (from, to, id, key)
        self.error = None
        self.lst = socket.socket()
        self.lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lst.bind((address, 5269))
        self.lst.listen(8)
        self.lst.settimeout(60)
        self.start()

    def run(self):
        try:
            while True:
                conn, _ = self.lst.accept()
                threading.Thread(target=self.serve, args=(conn,), daemon=True).start()
        except OSError:
            pass

    def serve(self, sock):
        try:
            self.session(sock)
        except Exception as e:  # reported by the test
            self.error = repr(e)

    def read_until(self, sock, marker, buf=b""):
        while marker not in buf:
            data = sock.recv(65536)
            if not data:
                raise ConnectionError("closed waiting for %r" % marker)
            buf += data
        return buf

    def header(self, to, id):
        return ("<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
                "xmlns:stream='http://etherx.jabber.org/streams' "
                "xmlns:db='jabber:server:dialback' from='%s' to='%s' id='%s' version='1.0'>"
                % (self.domain, to, id)).encode()

    def session(self, sock):
        sock.settimeout(60)
        self.read_until(sock, b"version='1.0'>")
        sock.sendall(self.header("a.test", "auth-1") + w.STARTTLS_FEATURES.encode())
        self.read_until(sock, b"<starttls")
        sock.sendall(w.PROCEED.encode())
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.cert.chain, self.cert.key)
        tls = ctx.wrap_socket(sock, server_side=True)
        parser = xml.parsers.expat.ParserCreate()
        state = {"depth": 0, "el": None, "text": ""}
        replies = []

        def start(name, attrs):
            state["depth"] += 1
            if state["depth"] == 1:
                replies.append(self.header(attrs.get("from", ""), "auth-2") +
                               w.DIALBACK_FEATURES.encode())
            elif state["depth"] == 2:
                state["el"] = (name, attrs)
                state["text"] = ""

        def text(data):
            state["text"] += data

        def end(name):
            if state["depth"] == 2 and state["el"]:
                el, attrs = state["el"]
                if el == "db:verify":
                    self.verifies.append((attrs.get("from"), attrs.get("to"), attrs.get("id"),
                                          state["text"]))
                    replies.append((
                        "<db:verify xmlns:db='jabber:server:dialback' from='%s' to='%s' "
                        "id='%s' type='%s'/>" % (self.domain, attrs.get("from"),
                                                 attrs.get("id"), self.verdict)).encode())
                elif el == "db:result" and "type" not in attrs:
                    replies.append((
                        "<db:result xmlns:db='jabber:server:dialback' from='%s' to='%s' "
                        "type='valid'/>" % (self.domain, attrs.get("from"))).encode())
                state["el"] = None
            state["depth"] -= 1

        parser.StartElementHandler = start
        parser.EndElementHandler = end
        parser.CharacterDataHandler = text
        while True:
            data = tls.recv(65536)
            if not data:
                return
            parser.Parse(data, False)
            while replies:
                tls.sendall(replies.pop(0))

    def close(self):
        self.lst.close()


class ReceivingRole(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = t.temp_dir()
        cls.ca = testca.TestCA(d)
        zone = netns.Zone()
        zone.a("b.test", "127.0.0.2")
        zone.a("c.test", "127.0.0.3")
        zone.a("d.test", "127.0.0.4")
        cls.world = w.World(zone, ca=cls.ca)
        cls.core = cls.world.core()
        cls.auth = {
            "b.test": Authoritative("b.test", "127.0.0.2", cls.ca.issue("b.test"), "valid"),
            "c.test": Authoritative("c.test", "127.0.0.3", cls.ca.issue("c.test"), "valid"),
            "d.test": Authoritative("d.test", "127.0.0.4", cls.ca.issue("d.test"), "invalid"),
        }

    @classmethod
    def tearDownClass(cls):
        for a in cls.auth.values():
            a.close()
        rc = cls.world.stop()
        assert rc == 0, "exit status %d:\n%s" % (rc, cls.world.daemon.log_text())

    def setUp(self):
        self.d = self.world.daemon
        self.mark = self.d.mark()

    def tearDown(self):
        for a in self.auth.values():
            self.assertIsNone(a.error, a.error)

    def verdict(self, origin, type):
        return ("<db:result xmlns:db='jabber:server:dialback' from='a.test' to='%s' "
                "type='%s'/>" % (origin, type))

    def stanza(self):
        kind, fields = self.core.recv_frame()
        self.assertEqual(kind, t.INBOUND_STANZA)
        return fields[2].decode()

    def test_valid_keys_authenticate_two_domains_on_one_stream(self):
        p = self.world.peer()
        p.negotiate_tls("b.test")
        p.expect(w.DIALBACK_FEATURES)
        p.send("<db:result from='b.test' to='a.test'>key-for-b</db:result>")
        p.expect(self.verdict("b.test", "valid"))
        self.assertIn(("a.test", "b.test", p.stream_id, "key-for-b"), self.auth["b.test"].verifies)
        slot = int(p.stream_id.split("-")[1])
        self.d.wait_for("dialback callback: b.test verified, inbound session %d authenticated"
                        % slot, start=self.mark)
        p.send("<db:result from='c.test' to='a.test'>key-for-c</db:result>")
        p.expect(self.verdict("c.test", "valid"))
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
        p = self.world.peer()
        p.negotiate_tls("d.test")
        p.expect(w.DIALBACK_FEATURES)
        p.send("<db:result from='d.test' to='a.test'>forged</db:result>")
        p.expect(self.verdict("d.test", "invalid"))
        self.d.wait_for("dialback callback: d.test invalid, inbound session %d rejected"
                        % int(p.stream_id.split("-")[1]), level="warn", start=self.mark)
        p.send("<message from='d.test' to='a.test' id='no'/>")
        p.nothing()
        with self.assertRaises(OSError):
            self.core.recv_frame(timeout=0.5)


def submit_key(world, domain, key, verdict, idle=600):
    """A peer that offers KEY for DOMAIN and gets VERDICT (IDLE: the idle
    time-out the daemon advertises)."""
    p = world.peer()
    p.negotiate_tls(domain)
    p.expect(w.dialback_features(idle))
    p.send("<db:result from='%s' to='a.test'>%s</db:result>" % (domain, key))
    p.expect("<db:result xmlns:db='jabber:server:dialback' from='a.test' to='%s' type='%s'/>"
             % (domain, verdict), timeout=10)
    return p


class Deadlines(unittest.TestCase):
    def test_a_silent_authoritative_server_makes_the_key_invalid(self):
        zone = netns.Zone()
        zone.a("e.test", "127.0.0.6")
        silent = socket.create_server(("127.0.0.6", 5269))
        world = w.World(zone, extra=["--dialback-timeout", "1"])
        try:
            submit_key(world, "e.test", "key", "invalid")
        finally:
            silent.close()
            self.assertEqual(world.stop(), 0)

    def test_an_authenticated_stream_without_bytes_is_closed(self):
        ca = testca.TestCA(t.temp_dir())
        zone = netns.Zone()
        zone.a("b.test", "127.0.0.5")
        world = w.World(zone, ca=ca, extra=["--inbound-idle-timeout", "1"])
        auth = Authoritative("b.test", "127.0.0.5", ca.issue("b.test"), "valid")
        try:
            p = submit_key(world, "b.test", "key-for-b", "valid", idle=1)
            p.expect("</stream:stream>", timeout=5)
            world.daemon.wait_for(" idle for 1 s, closing the stream")
            p.send("</stream:stream>")
            self.assertTrue(p.closed(timeout=5))
        finally:
            auth.close()
            self.assertEqual(world.stop(), 0)


if __name__ == "__main__":
    unittest.main()
