"""The world of the inbound integration tests: a fenra-s2s daemon for a.test
on 127.0.0.1 inside the test's own network namespace (with dnsmasq serving
the zone the test gives), test cores on its IPC socket, and remote-server
simulators that speak the wire bytes directly.

    import inbound_world as w
    netns.enter()                      # first, before anything else
    world = w.World(zone)              # zone: netns.Zone with the peers' records
    peer = world.peer()                # a TCP connection to the daemon
    peer.send(w.header("b.test"))
    peer.expect(w.our_header(...))     # exact bytes, in order
    peer.starttls(cert=...)            # client side of the TLS handshake
    core = world.core()                # an IpcClient
    world.stop()
"""

import os
import re
import socket
import ssl
import sys
import time

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import fenra_testlib as t  # noqa: E402
import netns  # noqa: E402

S2S = t.binary("fenra-s2s")
TIMEOUT = 30.0

HEADER_OPEN = ("<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
               "xmlns:stream='http://etherx.jabber.org/streams' "
               "xmlns:db='jabber:server:dialback' from='")
STARTTLS_FEATURES = ("<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'>"
                     "<required/></starttls></stream:features>")


def limits(idle=600):
    return ("<limits xmlns='urn:xmpp:stream-limits:0'><max-bytes>65535</max-bytes>"
            "<idle-seconds>%d</idle-seconds></limits>" % idle)


def dialback_features(idle=600):
    return ("<stream:features><db:features><db:dialback/></db:features>" + limits(idle) +
            "</stream:features>")


LIMITS = limits()
DIALBACK_FEATURES = dialback_features()
EXTERNAL_FEATURES = ("<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                     "<mechanism>EXTERNAL</mechanism></mechanisms>" + LIMITS + "</stream:features>")
ESTABLISHED_FEATURES = "<stream:features>" + LIMITS + "</stream:features>"
PROCEED = "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"
STARTTLS = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"
SASL_SUCCESS = "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>"
SASL_FAILURE = "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>"
AUTH_EXTERNAL = "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>=</auth>"


def header(frm="b.test", to="a.test"):
    """The header a remote server opens its stream with."""
    return ("<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
            "xmlns:stream='http://etherx.jabber.org/streams' "
            "xmlns:db='jabber:server:dialback' from='%s' to='%s' version='1.0'>" % (frm, to))


def our_header(stream_id, to="b.test"):
    return "%sa.test' to='%s' id='%s' version='1.0'>" % (HEADER_OPEN, to, stream_id)


def stream_error(condition, text=""):
    ns = " xmlns='urn:ietf:params:xml:ns:xmpp-streams'"
    return ("<stream:error><%s%s/>%s</stream:error></stream:stream>"
            % (condition, ns, "<text%s>%s</text>" % (ns, text) if text else ""))


class Peer:
    """A remote server's side of one inbound connection, byte for byte."""

    def __init__(self, port, address="127.0.0.1", source=None):
        self.sock = socket.create_connection((address, port), timeout=TIMEOUT,
                                             source_address=(source, 0) if source else None)
        self.buf = b""
        self.stream_id = None

    def send(self, data):
        self.sock.sendall(data.encode() if isinstance(data, str) else data)

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("nothing more within the time-out; have %r" % self.buf)
        self.sock.settimeout(left)
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("closed by the daemon; have %r" % self.buf)
        self.buf += data

    def expect(self, text, timeout=TIMEOUT):
        """The next bytes must be exactly text."""
        want = text.encode() if isinstance(text, str) else text
        deadline = time.monotonic() + timeout
        while len(self.buf) < len(want) and want.startswith(self.buf):
            self._fill(deadline)
        got, self.buf = self.buf[:len(want)], self.buf[len(want):]
        if got != want:
            raise AssertionError("expected %r\n     got %r" % (want, got + self.buf))

    def expect_header(self, to="b.test", timeout=TIMEOUT):
        """Our header answering the peer's; returns (and keeps) its stream id."""
        deadline = time.monotonic() + timeout
        end = b"' version='1.0'>"
        while end not in self.buf:
            self._fill(deadline)
        m = re.match(re.escape(our_header("XX", to).split("XX")[0].encode()) +
                     rb"(s2s-\d+-[0-9a-f]+)' version='1\.0'>", self.buf)
        if not m:
            raise AssertionError("not our header: %r" % self.buf)
        if self.stream_id is not None and m.group(1).decode() != self.stream_id:
            raise AssertionError("stream id changed: %r" % self.buf)
        self.stream_id = m.group(1).decode()
        self.buf = self.buf[m.end():]
        return self.stream_id

    def nothing(self, wait=0.5):
        """Nothing arrives within WAIT seconds and the connection stays open."""
        self.sock.settimeout(wait)
        try:
            data = self.sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            return True
        raise AssertionError("unexpected %r" % data)

    def closed(self, timeout=TIMEOUT):
        """The daemon closes the connection (bytes before that are dropped)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except (ConnectionResetError, ssl.SSLError):
                return True
        return False

    def starttls(self, cert=None, key=None):
        """The client side of the TLS handshake, presenting cert if given."""
        assert not self.buf, "bytes left before TLS: %r" % self.buf
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        if cert:
            ctx.load_cert_chain(cert, key)
        self.sock = ctx.wrap_socket(self.sock, server_hostname="a.test")

    def open_stream(self, frm="b.test"):
        """Our header and the STARTTLS-required features answer the peer's."""
        self.send(header(frm))
        self.expect_header(frm)
        self.expect(STARTTLS_FEATURES)

    def negotiate_tls(self, frm="b.test", cert=None, key=None):
        """Header, STARTTLS, handshake and the restarted header: the
        features offered on the restarted stream come next."""
        self.open_stream(frm)
        self.send(STARTTLS)
        self.expect(PROCEED)
        self.starttls(cert, key)
        self.send(header(frm))
        self.expect_header(frm)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class World:
    """dnsmasq with ZONE, a CA with a.test's certificate, and the daemon
    (with EXTRA added to its command line). ZONE may instead be a dict of
    signed zones (netns.dnssec_zones()): they are served by netns.SignedDns
    and the daemon validates from their key."""

    def __init__(self, zone=None, ca=None, core=True, extra=()):
        self.dir = t.temp_dir()
        self.zone = zone or netns.Zone()
        if isinstance(self.zone, dict):
            self.dns = netns.SignedDns(self.zone, self.dir).__enter__()
            anchor = self.dns.trust_anchor
        else:
            self.dns = netns.DnsServer(self.zone, self.dir).__enter__()
            anchor = netns.unsigned_anchor()
        self.ca = ca
        if self.ca is None:
            import testca
            self.ca = testca.TestCA(self.dir)
        self.cert = self.ca.issue("a.test")
        self.port = t.free_port()
        self.sock_path = os.path.join(self.dir, "core.sock")
        args = [S2S, "--host", "a.test", "--address", "127.0.0.1", "--port", str(self.port),
                "--cert", self.cert.chain, "--key", self.cert.key,
                "--dns-trust-anchor", anchor]
        if core:
            args += ["--core-socket", self.sock_path]
        args += list(extra)
        self.daemon = t.Daemon(args)
        self.daemon.wait_for("fenra-s2s event loop started")
        self.cores = []
        self.peers = []

    def peer(self, source=None):
        p = Peer(self.port, source=source)
        self.peers.append(p)
        return p

    def core(self):
        """A new test core; returns once the daemon logged it."""
        mark = self.daemon.mark()
        c = t.IpcClient(self.sock_path)
        self.daemon.wait_for("core connected via IPC slot=", start=mark)
        self.cores.append(c)
        return c

    def stop(self):
        for p in self.peers:
            p.close()
        for c in self.cores:
            c.close()
        rc = self.daemon.stop()
        self.dns.__exit__(None, None, None)
        return rc
