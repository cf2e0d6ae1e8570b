"""The interop world: fenra-s2s serving a.test, real peers serving b.test and
c.test, a DNS server of the test's own, and a test CA, all on loopback
addresses inside namespaces that the test makes itself.

    import world
    world.enter()             # first: re-runs the script inside fresh namespaces
    w = world.make_world()    # an s2s_world.World: CA, certificates, work directory
    w.serve(world.zone(w, tlsa=("b.test",)))

Addresses: a.test 127.0.0.1 (fenra-s2s), b.test 127.0.0.2 (Prosody),
c.test 127.0.0.3 (ejabberd), d.test 127.0.0.4 (nothing listens), the
nameserver 127.0.0.53.

enter() makes a network, a mount and a PID namespace (unshare --kill-child):
when the test's process ends, however it ends, the kernel ends every process
left in there too (Prosody, the Erlang VM, dnsmasq), and the namespaces
go away with them. It needs real root, since the peers switch to their own
users; without root, or without the peers' programs, the script exits with
status 77, which CTest reports as skipped.
"""

import base64
import os
import shutil
import socket
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import fenra_testlib as t  # noqa: E402
import netns  # noqa: E402
import s2s_world  # noqa: E402
import testca  # noqa: E402
from peer import wait_port  # noqa: E402

SKIP = 77

ADDRESS = {"a.test": "127.0.0.1", "b.test": "127.0.0.2", "c.test": "127.0.0.3",
           "d.test": "127.0.0.4"}
S2S_PORT = 5269
DIRECT_TLS_PORT = 5270


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP)


def enter(needs=()):
    """Runs the calling script inside fresh network, mount and PID namespaces.

    needs: (name, available) pairs; the script is skipped when one is
    missing."""
    for name, ok in needs:
        if not ok:
            skip("%s is not installed" % name)
    if not netns.in_namespace():
        if os.geteuid() != 0:
            skip("the peers switch to their own users, which needs real root")
        for tool in ("unshare", "ip", "mount", "dnsmasq"):
            if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
                skip("%s is not installed" % tool)
    netns.enter(pid=True)


def make_world():
    """The world of the cells, with the certificates of a.test, b.test,
    c.test and of another domain made at once, for the peers running as
    their own users to read."""
    w = s2s_world.World(work=tempfile.mkdtemp(prefix="fenra-interop-", dir="/tmp"))
    for d in ("a.test", "b.test", "c.test", "elsewhere.test"):
        w.cert(d)
    os.chmod(w.dir, 0o755)
    for root, dirs, files in os.walk(w.dir):
        for d in dirs:
            os.chmod(os.path.join(root, d), 0o755)
        for f in files:
            os.chmod(os.path.join(root, f), 0o644)
    return w


def target(domain):
    return "xmpp." + domain


def zone(world, tlsa=(), direct_tls=(), wrong_tlsa=(),
         srv=("a.test", "b.test", "c.test", "d.test")):
    """The records of a cell: an _xmpp-server SRV record and an A record for
    each domain of srv; an _xmpps-server SRV record on port 5270 for each
    domain of direct_tls (listed before the STARTTLS one by resolvers);
    TLSA records (3 1 1, the certificate's key) for each domain of tlsa, at
    both ports of its server; for each domain of wrong_tlsa, the same
    records with the key of another certificate. The zone test. is signed."""
    zones = netns.dnssec_zones()
    z = zones["test"]
    for d in srv:
        z.srv("_xmpp-server._tcp." + d, target(d), S2S_PORT)
        z.a(target(d), ADDRESS[d])
        z.a(d, ADDRESS[d])
    for d in direct_tls:
        z.srv("_xmpps-server._tcp." + d, target(d), DIRECT_TLS_PORT)
    for d in tuple(tlsa) + tuple(wrong_tlsa):
        cert = world.cert(d if d in tlsa else "elsewhere.test")
        data = testca.tlsa_data(cert, 1, 1)
        for port in (S2S_PORT, DIRECT_TLS_PORT):
            z.tlsa(port, target(d), 3, 1, 1, data)
    return zones


# ---------------------------------------------------------------------------
# fenra-s2s serving a.test, with a test core on its IPC socket


class Fenra:
    """fenra-s2s for a.test on 127.0.0.1:5269 with the a.test certificate,
    and one core connected to its IPC socket."""

    def __init__(self, world, domain="a.test"):
        self.world = world
        self.domain = domain
        self.address = ADDRESS[domain]
        self.daemon = None
        self.core = None
        self.core_closed = False
        self._frames = []

    def start(self):
        self.node = self.world.node(self.domain, self.address, port=S2S_PORT)
        self.daemon, self.core = self.node.daemon, self.node.core
        try:
            wait_port(self.address, S2S_PORT, alive=lambda: self.daemon.proc.poll() is None)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        return None if self.daemon is None else self.node.stop()

    def deliver(self, frm, to, stanza):
        self.node.deliver(frm, to, stanza)

    def wait_frame(self, predicate, timeout):
        """The next IPC frame (type, [fields as str]) that predicate accepts;
        the others stay for later calls."""
        for i, f in enumerate(self._frames):
            if predicate(f):
                return self._frames.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            if self.core_closed:
                return None
            try:
                typ, fields = self.core.recv_frame(timeout=left)
            except socket.timeout:
                return None
            except (ConnectionError, OSError):
                self.core_closed = True
                return None
            f = (typ, [x.decode("utf-8", "replace") for x in fields])
            if predicate(f):
                return f
            self._frames.append(f)

    def wait_inbound(self, frm, timeout):
        """The next InboundStanza whose from is frm: (from, to, stanza)."""
        f = self.wait_frame(lambda f: f[0] == t.INBOUND_STANZA and f[1][0] == frm, timeout)
        return None if f is None else tuple(f[1])

    def wait_failed(self, to, timeout):
        """The next DeliveryFailed for to: (from, to, condition)."""
        f = self.wait_frame(lambda f: f[0] == t.DELIVERY_FAILED and f[1][1] == to, timeout)
        return None if f is None else tuple(f[1])

    def frames(self):
        return list(self._frames)

    def log_text(self):
        if self.daemon is None:
            return ""
        text = self.daemon.log_text()
        rc = self.daemon.proc.poll()
        if rc is not None:
            text += "\n(fenra-s2s exited with status %d)" % rc
        return text

    def find(self, text=None, **kw):
        return self.daemon.find(text, **kw)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


# ---------------------------------------------------------------------------
# The message every cell carries, and its checks

CHATSTATES = "http://jabber.org/protocol/chatstates"
DISCO = "http://jabber.org/protocol/disco#info"
RECEIPTS = "urn:xmpp:receipts"
STANZA_NAMESPACES = ("", "jabber:server", "jabber:client")


def chat_message(to, body, msg_id, frm=None):
    """A chat message with a body, a chat state and a receipt request."""
    return ("<message%s to='%s' type='chat' id='%s'><body>%s</body>"
            "<active xmlns='%s'/><request xmlns='%s'/></message>"
            % ("" if frm is None else " from='%s'" % frm, to, msg_id, body, CHATSTATES, RECEIPTS))


PAYLOAD = "urn:example:payload"


def payload_message(to, size, msg_id, frm=None):
    """A message carrying SIZE bytes of base64 text in a payload namespace
    (like a vCard photo); returns the stanza and the text."""
    text = base64.b64encode(os.urandom(size))[:size].decode()
    return ("<message%s to='%s' type='chat' id='%s'><data xmlns='%s'>%s</data></message>"
            % ("" if frm is None else " from='%s'" % frm, to, msg_id, PAYLOAD, text)), text


def split_tag(tag):
    if tag.startswith("{"):
        ns, _, name = tag[1:].partition("}")
        return ns, name
    return "", tag


def payload_problems(elem, body, msg_id=None):
    """What is wrong with a received message element (empty list: nothing):
    it must be a message in the stanza namespace with the body text, the
    chat state and the receipt request in their own namespaces."""
    problems = []
    ns, name = split_tag(elem.tag)
    if name != "message" or ns not in STANZA_NAMESPACES:
        problems.append("element is %r, not a message" % elem.tag)
    if msg_id is not None and elem.get("id") != msg_id:
        problems.append("id is %r, not %r" % (elem.get("id"), msg_id))
    bodies = [c for c in elem if split_tag(c.tag)[1] == "body"]
    if not bodies:
        problems.append("no body")
    elif split_tag(bodies[0].tag)[0] not in STANZA_NAMESPACES:
        problems.append("body in namespace %r" % split_tag(bodies[0].tag)[0])
    elif bodies[0].text != body:
        problems.append("body text %r, not %r" % (bodies[0].text, body))
    if elem.find("{%s}active" % CHATSTATES) is None:
        problems.append("no chat state <active/> in %s" % CHATSTATES)
    if elem.find("{%s}request" % RECEIPTS) is None:
        problems.append("no receipt request in %s" % RECEIPTS)
    return problems


# ---------------------------------------------------------------------------
# One cell of the matrix

WAIT = 25.0  # for one message to cross, authentication included


class CellCase(unittest.TestCase):
    """Each test is one cell: it starts the DNS server with the cell's
    records, the peer it needs and fenra-s2s, sends one message across and
    checks delivery and our log lines. A failure message carries the
    evidence: our log, the peer's server-to-server log (the XML exchanged),
    the DNS queries and the client's transcript."""

    world = None

    @classmethod
    def setUpClass(cls):
        cls.world = make_world()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.world.dir, ignore_errors=True)

    def setUp(self):
        self.fenra = None
        self.peers = []
        self.dns_server = None
        self.clients = []
        self.started = time.monotonic()
        self.addCleanup(self._report_time)

    def _report_time(self):
        print("    (%s: %.1f s)" % (self.id().rsplit(".", 1)[-1], time.monotonic() - self.started),
              flush=True)
        if os.environ.get("FENRA_INTEROP_VERBOSE"):
            print(self.evidence(), flush=True)

    # -- the world of the cell ---------------------------------------------

    def run_dns(self, z):
        dns = self.world.serve(z, log_queries=True)
        self.addCleanup(dns.__exit__, None, None, None)
        self.dns_server = dns
        return dns

    def run_fenra(self):
        f = Fenra(self.world)
        f.start()
        self.addCleanup(f.stop)
        self.fenra = f
        return f

    def start_cell(self, domain, tlsa=False, direct_tls=False, wrong_tlsa=False):
        """The cell's DNS records (tlsa, direct_tls and wrong_tlsa as in
        zone(), for domain) and fenra-s2s."""
        self.run_dns(zone(self.world, **{k: (domain,) for k, v in (
            ("tlsa", tlsa), ("direct_tls", direct_tls), ("wrong_tlsa", wrong_tlsa)) if v}))
        return self.run_fenra()

    def run_peer(self, peer, users=("bob",)):
        peer.start()
        self.addCleanup(peer.stop)
        self.peers.append(peer)
        for u in users:
            peer.register(u, PASSWORD)
        return peer

    def login(self, peer, user):
        import c2s
        client = c2s.C2sClient(peer.address, peer.c2s_port, "%s@%s" % (user, peer.domain),
                               PASSWORD, self.world.ca.ca.cert)
        self.clients.append(client)
        try:
            client.connect()
        except (c2s.C2sError, OSError) as e:
            self.fail_with_evidence("login of %s@%s failed: %s" % (user, peer.domain, e))
        self.addCleanup(client.close)
        return client

    # -- evidence -----------------------------------------------------------

    def evidence(self):
        parts = []
        if self.fenra is not None:
            parts.append("=== fenra-s2s log ===\n" + self.fenra.log_text())
            frames = self.fenra.frames()
            if frames:
                parts.append("=== other IPC frames at the core ===\n"
                             + "\n".join(repr(f) for f in frames))
        for p in self.peers:
            parts.append("=== %s s2s log (%s) ===\n%s" % (p.domain, type(p).__name__,
                                                          p.wire_log()))
        for c in self.clients:
            parts.append("=== c2s transcript of %s ===\n%s" % (c.jid, c.transcript_text(4000)))
        if self.dns_server is not None:
            queries = [l for l in self.dns_server.log().splitlines() if "query[" in l]
            parts.append("=== DNS queries ===\n" + "\n".join(queries[-40:]))
        return "\n".join(parts)

    def fail_with_evidence(self, what):
        self.fail(what + "\n" + self.evidence())

    def expect_log(self, *texts):
        """Each text must appear in a line of our log, and no line so far may
        be a warning or an error: a cell that delivers while our daemon
        complains about the peer is not clean. (Another thread reads the log:
        a line written just now may take a moment to arrive.)"""
        missing = [x for x in texts if not self._logged(x)]
        if missing:
            self.fail_with_evidence("our log lacks: %r" % missing)
        complaints = self.fenra.find(level="warn") + self.fenra.find(level="error")
        if complaints:
            self.fail_with_evidence("our log has warnings or errors: %r"
                                    % [l.message for l in complaints])

    def _logged(self, text):
        try:
            return self.fenra.daemon.wait_for(text, timeout=5)
        except AssertionError:
            return None

    def _check_daemon(self):
        if self.fenra.core_closed or self.fenra.daemon.proc.poll() is not None:
            self.fail_with_evidence("fenra-s2s closed the core's IPC connection or exited")

    def _poll(self, client, predicate, timeout=0.05):
        """An element from the client that predicate accepts, or None after
        the time-out; a broken client stream fails the test."""
        import c2s
        try:
            return client.wait_stanza(predicate, timeout)
        except c2s.C2sTimeout:
            return None
        except c2s.C2sError as e:
            self.fail_with_evidence("client of %s: %s" % (client.jid, e))

    # -- the two directions -------------------------------------------------

    def peer_to_fenra(self, peer, user="bob", ids=("in1", "in2")):
        """A user of the peer sends chat messages to alice@a.test, the first
        while the servers still negotiate, the next over the established
        stream; each must reach our core as an InboundStanza with its
        payload intact."""
        client = self.login(peer, user)
        for msg_id in ids:
            body = "hello from %s, message %s" % (peer.domain, msg_id)
            client.send(chat_message("alice@a.test", body, msg_id))
            self._receive_inbound(peer, client, body, msg_id)

    def _receive_inbound(self, peer, client, body, msg_id):
        deadline = time.monotonic() + WAIT
        got = None
        while got is None:
            got = self.fenra.wait_inbound(client.full_jid, 0.5)
            if got is not None:
                break
            bounce = self._poll(client, lambda e: split_tag(e.tag)[1] == "message"
                                and e.get("id") == msg_id and e.get("type") == "error")
            if bounce is not None:
                self.fail_with_evidence("%s gave up on message %s and bounced it: %r"
                                        % (peer.domain, msg_id, ET.tostring(bounce)))
            self._check_daemon()
            if time.monotonic() > deadline:
                self.fail_with_evidence("message %s from %s did not reach our core within %.0f s"
                                        % (msg_id, client.full_jid, WAIT))
        frm, to, stanza = got
        try:
            elem = ET.fromstring(stanza)
        except ET.ParseError as e:
            self.fail_with_evidence("the stanza given to the core is not namespace-well-formed "
                                    "XML (%s): %r" % (e, stanza))
        problems = payload_problems(elem, body, msg_id)
        if to != "alice@a.test":
            problems.append("IPC to is %r" % to)
        if elem.get("from") != frm or elem.get("to") != to:
            problems.append("stanza from/to %r/%r differ from the IPC fields %r/%r"
                            % (elem.get("from"), elem.get("to"), frm, to))
        if problems:
            self.fail_with_evidence("InboundStanza %r: %s" % (stanza, "; ".join(problems)))

    def fenra_to_peer(self, peer, user="bob", ids=("out1", "out2")):
        """Our core asks for chat messages to a user of the peer, the first
        before any stream exists, the next over the established stream; the
        user's client must receive each with its payload intact. A
        DeliveryFailed ends the wait at once."""
        client = self.login(peer, user)
        frm = "alice@a.test/core"
        to = "%s@%s" % (user, peer.domain)
        for msg_id in ids:
            body = "hello from a.test, message %s" % msg_id
            self.fenra.deliver(frm, to, chat_message(to, body, msg_id, frm=frm))
            self._receive_outbound(client, frm, to, body, msg_id)

    def both_ways_at_once(self, peer, user="bob"):
        """The peer's user and our core send to each other at the same
        moment, so that both servers open streams, and call each other back,
        at once; then once more over the streams that resulted."""
        client = self.login(peer, user)
        frm = "alice@a.test/core"
        to = "%s@%s" % (user, peer.domain)
        for n in (1, 2):
            in_id, out_id = "x%din" % n, "x%dout" % n
            in_body = "hello from %s, message %s" % (peer.domain, in_id)
            out_body = "hello from a.test, message %s" % out_id
            client.send(chat_message("alice@a.test", in_body, in_id))
            self.fenra.deliver(frm, to, chat_message(to, out_body, out_id, frm=frm))
            self._receive_inbound(peer, client, in_body, in_id)
            self._receive_outbound(client, frm, to, out_body, out_id)

    def large_stanzas(self, peer, user="bob"):
        """20 and 60 KB messages cross both ways with their payload intact; a
        70 KB one from the peer ends its stream with policy-violation and
        does not reach our core, and the next message arrives."""
        client = self.login(peer, user)
        frm = "alice@a.test/core"
        to = "%s@%s" % (user, peer.domain)
        for size in (20000, 60000):
            stanza, text = payload_message("alice@a.test", size, "in%d" % size)
            client.send(stanza)
            elem = self._inbound_element(lambda f: f[0] == client.full_jid and
                                         "id='in%d'" % size in f[2], "the %d-byte message" % size)
            got = [d.text for d in elem.iter("{%s}data" % PAYLOAD)]
            if got != [text]:
                self.fail_with_evidence("the %d-byte payload reached our core altered" % size)
            stanza, text = payload_message(to, size, "out%d" % size, frm=frm)
            self.fenra.deliver(frm, to, stanza)
            elem = self._client_element(client, lambda e: e.get("id") == "out%d" % size,
                                        "a.test")
            if [d.text for d in elem.iter("{%s}data" % PAYLOAD)] != [text]:
                self.fail_with_evidence("the %d-byte payload reached %s altered" % (size, to))
        client.send(payload_message("alice@a.test", 70000, "over")[0])
        t.wait_until(lambda: self.fenra.find("bytes from %s, closing stream" % client.full_jid),
                     WAIT, "the stream carrying 70000 bytes ended")
        # Presence a peer sends on the new stream may come first.
        client.send(chat_message("alice@a.test", "after", "after"))
        self._inbound_element(lambda f: f[0] == client.full_jid and "id='after'" in f[2],
                              "the message after")
        if self.fenra.wait_frame(lambda f: "id='over'" in f[1][2], 0.1) is not None:
            self.fail_with_evidence("a stanza over the limit reached our core")

    def iq_and_presence(self, peer, user="bob"):
        """The other two stanza kinds over dialback streams: a disco#info
        query from the peer's user to a.test reaches our core and the core's
        answer reaches the user; a subscription request reaches the core,
        and the core's approval and presence (with show and status)
        reach the user."""
        client = self.login(peer, user)
        bare = "%s@%s" % (user, peer.domain)
        client.send("<iq type='get' to='a.test' id='disco1'><query xmlns='%s'/></iq>" % DISCO)
        elem = self._inbound_element(lambda f: f[0] == client.full_jid and f[1] == "a.test",
                                     "the disco#info query")
        if split_tag(elem.tag)[1] != "iq" or elem.get("id") != "disco1" \
                or elem.find("{%s}query" % DISCO) is None:
            self.fail_with_evidence("the query reached our core as %r" % ET.tostring(elem))
        self.fenra.deliver("a.test", client.full_jid,
                           "<iq type='result' from='a.test' to='%s' id='disco1'>"
                           "<query xmlns='%s'><identity category='server' type='im'/>"
                           "<feature var='%s'/></query></iq>" % (client.full_jid, DISCO, DISCO))
        answer = self._client_element(client, lambda e: e.get("id") == "disco1", "a.test")
        if answer.get("type") != "result" or answer.find(
                "{%s}query/{%s}feature" % (DISCO, DISCO)) is None:
            self.fail_with_evidence("%s got %r" % (client.jid, ET.tostring(answer)))

        client.send("<presence type='subscribe' to='alice@a.test'/>")
        elem = self._inbound_element(lambda f: f[0] == bare and f[1] == "alice@a.test",
                                     "the subscription request")
        if split_tag(elem.tag)[1] != "presence" or elem.get("type") != "subscribe":
            self.fail_with_evidence("the request reached our core as %r" % ET.tostring(elem))
        self.fenra.deliver("alice@a.test", bare, "<presence type='subscribed' "
                           "from='alice@a.test' to='%s'/>" % bare)
        self.fenra.deliver("alice@a.test/core", bare, "<presence from='alice@a.test/core' "
                           "to='%s'><show>chat</show><status>here</status></presence>" % bare)
        pres = self._client_element(
            client, lambda e: split_tag(e.tag)[1] == "presence"
            and e.get("from") == "alice@a.test/core", "alice@a.test/core")
        shows = [c.text for c in pres if split_tag(c.tag)[1] == "show"]
        if shows != ["chat"]:
            self.fail_with_evidence("%s got %r" % (client.jid, ET.tostring(pres)))

    def _inbound_element(self, match, what):
        """The stanza of the next InboundStanza whose (from, to) match accepts,
        parsed."""
        deadline = time.monotonic() + WAIT
        while True:
            f = self.fenra.wait_frame(lambda f: f[0] == t.INBOUND_STANZA and match(f[1]), 0.5)
            if f is not None:
                break
            self._check_daemon()
            if time.monotonic() > deadline:
                self.fail_with_evidence("%s did not reach our core within %.0f s" % (what, WAIT))
        try:
            return ET.fromstring(f[1][2])
        except ET.ParseError as e:
            self.fail_with_evidence("the stanza given to the core is not namespace-well-formed "
                                    "XML (%s): %r" % (e, f[1][2]))

    def _client_element(self, client, predicate, sender):
        deadline = time.monotonic() + WAIT
        while True:
            elem = self._poll(client, predicate, 0.5)
            if elem is not None:
                return elem
            failed = self.fenra.wait_frame(lambda f: f[0] == t.DELIVERY_FAILED, 0.05)
            if failed is not None:
                self.fail_with_evidence("our core got DeliveryFailed %r" % (failed,))
            self._check_daemon()
            if time.monotonic() > deadline:
                self.fail_with_evidence("nothing from %s reached %s within %.0f s"
                                        % (sender, client.jid, WAIT))

    def _receive_outbound(self, client, frm, to, body, msg_id):
        deadline = time.monotonic() + WAIT
        elem = None
        while elem is None:
            elem = self._poll(client, lambda e: split_tag(e.tag)[1] == "message"
                              and e.get("id") == msg_id, 0.5)
            if elem is not None:
                break
            failed = self.fenra.wait_failed(to, 0.05)
            if failed is not None:
                self.fail_with_evidence("our core got DeliveryFailed %r" % (failed,))
            self._check_daemon()
            if time.monotonic() > deadline:
                self.fail_with_evidence("message %s from our core did not reach %s within %.0f s"
                                        % (msg_id, to, WAIT))
        problems = payload_problems(elem, body, msg_id)
        if elem.get("from") != frm:
            problems.append("from is %r" % elem.get("from"))
        if problems:
            self.fail_with_evidence("%s received %r: %s" % (to, ET.tostring(elem),
                                                           "; ".join(problems)))


PASSWORD = "interop-secret"


def main():
    """unittest's main, verbose."""
    unittest.main(verbosity=2)
