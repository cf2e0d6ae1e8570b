"""The scripted XMPP server-to-server peer of the integration tests (Python
3 standard library only): it plays the remote side of a federation stream,
byte by byte where a test needs it, so that a daemon's outbound or inbound
session can be driven through every step and every failure.

    import xmpp_peer as xp

    r = xp.Receiver("b.test", ctx)                       # a remote server (knobs: see there)
    srv = xp.PeerListener("127.0.0.2", 5269, r.serve)   # or handler(conn) per connection
    ...
    srv.close()
    r.stanzas, r.elements, r.log                         # what it received

    def handler(conn):                        # conn: xp.StreamConn
        hdr = conn.read_header()              # the peer's stream header (attrs)
        conn.send_header(frm="b.test", to=hdr.attrs.get("from"), id="abc")
        conn.send(xp.FEATURES_STARTTLS)
        conn.expect("starttls")
        conn.send(xp.PROCEED)
        conn.start_tls_server(xp.server_context(chain, key))
        ...

    c = xp.StreamConn.connect("127.0.0.1", port)          # the initiating side
    c.negotiate_tls("b.test")                 # header, STARTTLS, handshake, header
    c.expect(xp.DIALBACK_OFFER)               # text starting with "<": the exact next bytes

StreamConn keeps every byte it received (raw) and parses the stream with
expat: read_header() returns the next stream header, next_element() the next
complete child of the stream element (an Element with name, attrs, text,
children and its raw bytes as received). A stream restart (after STARTTLS or
SASL) starts a fresh parser: call restart() at the point where the new
stream begins. expect() takes either the local name of the next element or
(text beginning with "<", or bytes) the exact bytes that must come next.
"""

import base64
import re
import socket
import ssl
import threading
import time
import xml.parsers.expat


STREAMS_NS = "http://etherx.jabber.org/streams"
FEATURES_STARTTLS = ("<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'>"
                     "<required/></starttls></stream:features>")
FEATURES_DIALBACK = ("<stream:features><dialback xmlns='urn:xmpp:features:dialback'/>"
                     "</stream:features>")
_EXTERNAL = ("<mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><mechanism>EXTERNAL"
             "</mechanism></mechanisms>")
FEATURES_EXTERNAL = "<stream:features>" + _EXTERNAL + "</stream:features>"
FEATURES_EMPTY = "<stream:features/>"
PROCEED = "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"
SASL_SUCCESS = "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>"
SASL_FAILURE = "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>"
STREAM_CLOSE = "</stream:stream>"
STARTTLS = "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"
AUTH_EXTERNAL = "<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>=</auth>"


# What fenra-s2s for a.test offers on an inbound stream, to the byte.
def limits(idle=600):
    return ("<limits xmlns='urn:xmpp:stream-limits:0'><max-bytes>65535</max-bytes>"
            "<idle-seconds>%d</idle-seconds></limits>" % idle)


def dialback_offer(idle=600):
    return ("<stream:features><db:features><db:dialback/></db:features>" + limits(idle) +
            "</stream:features>")


DIALBACK_OFFER = dialback_offer()
EXTERNAL_OFFER = "<stream:features>" + _EXTERNAL + limits() + "</stream:features>"
ESTABLISHED_OFFER = "<stream:features>" + limits() + "</stream:features>"


def stream_error(condition, text=""):
    ns = " xmlns='urn:ietf:params:xml:ns:xmpp-streams'"
    return ("<stream:error><%s%s/>%s</stream:error></stream:stream>"
            % (condition, ns, "<text%s>%s</text>" % (ns, text) if text else ""))


def db_result(frm, to, type_):
    """A dialback verdict as the scripted peer writes it."""
    return "<db:result from='%s' to='%s' type='%s'/>" % (frm, to, type_)


def db_verdict(frm, to, type_):
    """A dialback verdict as fenra-s2s writes it."""
    return "<db:result xmlns:db='jabber:server:dialback' from='%s' to='%s' type='%s'/>" % (
        frm, to, type_)


def db_verify_answer(frm, to, id_, type_):
    return "<db:verify from='%s' to='%s' id='%s' type='%s'/>" % (frm, to, id_, type_)


def external_text(domain):
    return base64.b64encode(domain.encode()).decode()


DEFAULT_TIMEOUT = 30.0


def stream_header(frm=None, to=None, id=None, version="1.0", xml_decl=True):
    """A stream header in the jabber:server namespace with the db prefix bound."""
    out = "<?xml version='1.0'?>" if xml_decl else ""
    out += ("<stream:stream xmlns='jabber:server' xmlns:stream='%s' "
            "xmlns:db='jabber:server:dialback'" % STREAMS_NS)
    for name, value in (("from", frm), ("to", to), ("id", id), ("version", version)):
        if value is not None:
            out += " %s='%s'" % (name, value)
    return out + ">"


def server_context(chain, key):
    """A TLS server context presenting chain (PEM: certificate then issuers).
    Client certificates are not asked for."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(chain, key)
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def client_context(chain=None, key=None):
    """A TLS client context that verifies nothing (trust comes from DANE or
    dialback), presenting chain/key when given."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if chain:
        ctx.load_cert_chain(chain, key)
    return ctx


class StreamClosed(Exception):
    """The connection ended (or the stream closed) while an element was awaited."""


class Element:
    def __init__(self, name, attrs, depth):
        self.name = name          # qualified name as written, e.g. "db:result"
        self.attrs = dict(attrs)  # attributes, namespace declarations included
        self.depth = depth
        self.text = ""
        self.children = []
        self.raw = b""            # the element's bytes as received

    @property
    def local(self):
        return self.name.split(":", 1)[-1]

    def get(self, name, default=None):
        return self.attrs.get(name, default)

    def find(self, local):
        for c in self.children:
            if c.local == local:
                return c
        return None

    def __repr__(self):
        return "Element(%s %r %r)" % (self.name, self.attrs, self.text[:60])


class _Reader:
    """An expat parser over one stream (header to close)."""

    def __init__(self):
        self.p = xml.parsers.expat.ParserCreate()
        self.p.buffer_text = True
        self.p.StartElementHandler = self._start
        self.p.EndElementHandler = self._end
        self.p.CharacterDataHandler = self._text
        self.stack = []
        self.header = None
        self.events = []  # ("header", Element) | ("element", Element) | ("close", None)
        self.data = b""   # every byte fed to this parser
        self.start_pos = None

    def feed(self, data):
        self.data += data
        self.p.Parse(data, False)

    def _start(self, name, attrs):
        el = Element(name, attrs, len(self.stack) + 1)
        if not self.stack:
            self.header = el
            self.events.append(("header", el))
        else:
            if len(self.stack) == 1:
                self.start_pos = self.p.CurrentByteIndex
            self.stack[-1].children.append(el)
        self.stack.append(el)

    def _end(self, name):
        el = self.stack.pop()
        if not self.stack:
            self.events.append(("close", None))
        elif len(self.stack) == 1:
            # The position is the start of the end tag, or just past an
            # empty element.
            pos = self.p.CurrentByteIndex
            if self.data[pos:pos + 2] == b"</":
                pos = self.data.find(b">", pos) + 1
            el.raw = self.data[self.start_pos:pos]
            self.events.append(("element", el))

    def _text(self, text):
        if self.stack:
            self.stack[-1].text += text


class StreamConn:
    """One S2S connection (either side), blocking with deadlines."""

    def __init__(self, sock, timeout=DEFAULT_TIMEOUT):
        self.sock = sock
        self.timeout = timeout
        self.raw = b""            # every byte received, across restarts and TLS
        self.pending = b""        # received, not yet parsed nor matched by expect()
        self.sent = b""           # every byte sent
        self.stream_id = None     # of fenra-s2s's header, once expect_header() saw it
        self.reader = _Reader()
        self.closed = False
        sock.settimeout(timeout)

    @classmethod
    def connect(cls, host, port, timeout=DEFAULT_TIMEOUT, source=None, rcvbuf=None):
        """A connection from source (an address) with a receive buffer of
        rcvbuf bytes (a peer that reads slowly) when given."""
        s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        s.settimeout(timeout)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        if source:
            s.bind((source, 0))
        s.connect((host, port))
        return cls(s, timeout)

    # -- output

    def send(self, text):
        data = text.encode() if isinstance(text, str) else bytes(text)
        self.sent += data
        self.sock.sendall(data)

    def send_header(self, **kw):
        self.send(stream_header(**kw))

    # -- TLS

    def start_tls_server(self, ctx):
        """Server-side TLS on this socket (after sending proceed)."""
        self.sock = ctx.wrap_socket(self.sock, server_side=True)
        self.sock.settimeout(self.timeout)
        self.restart()

    def start_tls_client(self, ctx=None, server_hostname="a.test"):
        """Client-side TLS (by default presenting no certificate)."""
        assert not self.pending, "bytes left before TLS: %r" % self.pending
        self.sock = (ctx or client_context()).wrap_socket(self.sock,
                                                          server_hostname=server_hostname)
        self.sock.settimeout(self.timeout)
        self.restart()

    def peer_cert_der(self):
        return self.sock.getpeercert(binary_form=True)

    def restart(self):
        """The next bytes begin a new stream."""
        self.reader = _Reader()

    # -- input

    def _fill(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise socket.timeout("nothing within %.0fs; received %r" % (self.timeout, self.raw[-400:]))
        self.sock.settimeout(left)
        try:
            data = self.sock.recv(65536)
        except (ConnectionResetError, ssl.SSLError) as e:
            self.closed = True
            raise StreamClosed("connection failed: %r; received %r" % (e, self.raw[-400:]))
        if not data:
            self.closed = True
            raise StreamClosed("connection closed; received %r" % self.raw[-400:])
        self.raw += data
        self.pending += data

    def next_event(self, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while not self.reader.events:
            if self.pending:
                data, self.pending = self.pending, b""
                self.reader.feed(data)
            else:
                self._fill(deadline)
        return self.reader.events.pop(0)

    def read_header(self, timeout=None):
        kind, el = self.next_event(timeout)
        if kind != "header":
            raise AssertionError("expected a stream header, got %s %r" % (kind, el))
        return el

    def next_element(self, timeout=None):
        kind, el = self.next_event(timeout)
        if kind == "close":
            raise StreamClosed("stream closed by the other side")
        if kind != "element":
            raise AssertionError("expected an element, got %s %r" % (kind, el))
        return el

    def expect(self, what, timeout=None):
        """The next element, whose local name must be what; or, when what
        begins with "<" (or is bytes), the exact next bytes."""
        if isinstance(what, bytes) or what.startswith("<"):
            return self._expect_bytes(what.encode() if isinstance(what, str) else what, timeout)
        el = self.next_element(timeout)
        if el.local != what:
            raise AssertionError("expected <%s>, got %r (raw %r)" % (what, el, el.raw))
        return el

    def _expect_bytes(self, want, timeout):
        deadline = time.monotonic() + (timeout or self.timeout)
        while len(self.pending) < len(want) and want.startswith(self.pending):
            self._fill(deadline)
        got = self._consume(len(want))
        if got != want:
            raise AssertionError("expected %r\n     got %r" % (want, got + self.pending))

    def expect_header(self, to="b.test", frm="a.test", timeout=None):
        """fenra-s2s's header answering ours, to the byte; returns (and keeps)
        its stream id, which must not change on a restart."""
        deadline = time.monotonic() + (timeout or self.timeout)
        head = stream_header(frm, to, "XX").split("XX")[0].encode()
        while b"' version='1.0'>" not in self.pending:
            self._fill(deadline)
        m = re.match(re.escape(head) + rb"(s2s-\d+-[0-9a-f]+)' version='1\.0'>", self.pending)
        if not m or self.stream_id not in (None, m.group(1).decode()):
            raise AssertionError("not our header (stream id %s): %r" % (self.stream_id,
                                                                         self.pending))
        self.stream_id = m.group(1).decode()
        self._consume(m.end())
        return self.stream_id

    def _consume(self, n):
        """The next n bytes, taken as bytes. The parser reads them too (and
        drops their events), so that elements can be read after them."""
        got, self.pending = self.pending[:n], self.pending[n:]
        try:
            self.reader.feed(got)
        except xml.parsers.expat.ExpatError:
            pass  # bytes that are no XML end the parsing of this stream
        self.reader.events.clear()
        return got

    @property
    def slot(self):
        """The daemon's session slot, from its stream id."""
        return int(self.stream_id.split("-")[1])

    def nothing(self, wait=0.5):
        """Nothing arrives within WAIT seconds and the connection stays open."""
        self.sock.settimeout(wait)
        try:
            data = self.sock.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            return True
        raise AssertionError("unexpected %r" % data)

    def open_stream(self, frm="b.test", to="a.test"):
        """Our header; fenra-s2s's header and its STARTTLS-required features."""
        self.send_header(frm=frm, to=to)
        self.expect_header(frm, to)
        self.expect(FEATURES_STARTTLS)
        return self

    def negotiate_tls(self, frm="b.test", cert=None, key=None, to="a.test", offer=None):
        """open_stream, STARTTLS, the handshake (presenting cert if given)
        and the restarted headers: the features offered come next (they
        must be offer, when given)."""
        self.open_stream(frm, to)
        self.send(STARTTLS)
        self.expect(PROCEED)
        self.start_tls_client(client_context(cert, key))
        self.send_header(frm=frm, to=to)
        self.expect_header(frm, to)
        if offer is not None:
            self.expect(offer)
        return self

    def wait_closed(self, timeout=None):
        """True when the other side closes the connection within the time-out
        (elements arriving meanwhile are dropped)."""
        deadline = time.monotonic() + (timeout or self.timeout)
        try:
            while True:
                self.reader.events.clear()
                self.pending = b""
                self._fill(deadline)
        except StreamClosed:
            return True
        except (socket.timeout, TimeoutError):
            return False

    def close(self):
        """Ends the connection, also when another thread waits on it (a
        plain close would leave the socket open until that wait returns)."""
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass


class PeerListener:
    """Accepts connections on (address, port) and runs handler(conn) for each
    in its own thread. Exceptions in handlers are kept in .errors (a test
    should assert that it is empty); .conns lists every connection."""

    def __init__(self, address, port, handler, ctx=None, timeout=DEFAULT_TIMEOUT):
        self.handler = handler
        self.ctx = ctx  # when given, every connection starts with TLS (direct TLS)
        self.timeout = timeout
        self.errors = []
        self.conns = []
        self.accepted = 0
        self._lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(256)
        self.address = self.sock.getsockname()
        self._stop = False
        self._threads = []
        self._acceptor = threading.Thread(target=self._accept_loop, daemon=True)
        self._acceptor.start()

    def _accept_loop(self):
        while not self._stop:
            try:
                s, _ = self.sock.accept()
            except OSError:
                return
            with self._lock:
                self.accepted += 1
            th = threading.Thread(target=self._run, args=(s,), daemon=True)
            self._threads.append(th)
            th.start()

    def _run(self, s):
        conn = StreamConn(s, self.timeout)
        with self._lock:
            self.conns.append(conn)
        try:
            if self.ctx is not None:
                conn.start_tls_server(self.ctx)
            self.handler(conn)
        except Exception as e:  # noqa: BLE001 - reported to the test
            with self._lock:
                self.errors.append("%s: %r" % (type(e).__name__, e))

    def join(self, timeout=DEFAULT_TIMEOUT):
        """Waits for every handler started so far to return."""
        deadline = time.monotonic() + timeout
        for th in list(self._threads):
            th.join(max(0.0, deadline - time.monotonic()))

    def close(self):
        self._stop = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass
        for c in list(self.conns):
            c.close()


def holding_listener(address, port=5269, timeout=120):
    """A PeerListener whose connections get no byte and stay open until the
    other side closes them (or timeout passes)."""
    return PeerListener(address, port, lambda conn: conn.wait_closed(timeout), timeout=timeout)


class Receiver:
    """Knobs:
    direct       the connection starts with TLS (no STARTTLS offered)
    stream_id    id of our headers (None: no id attribute)
    external     answer to an EXTERNAL auth: "success" or "failure"
    dialback     answer to a db:result: "valid", "invalid" or None (no answer)
    break_at     "header": close right after the daemon's first header;
                 "xml": answer the header with bytes that are not XML;
                 "after-features": close after sending the first features;
                 "tls": answer proceed, then send garbage instead of TLS
    verify       callback: verify(conn, element) -> type word for db:verify
                 requests received (None: no answer)
    on_end       callback: on_end(conn) when the daemon closed its stream
    """

    def __init__(self, domain, tls_ctx, *, direct=False, stream_id="sid-1", external="success",
                 dialback="valid", break_at=None, verify=None, on_end=None):
        self.domain = domain
        self.tls_ctx = tls_ctx
        self.direct = direct
        self.stream_id = stream_id
        self.external = external
        self.dialback = dialback
        self.break_at = break_at
        self.verify = verify
        self.on_end = on_end
        self.lock = threading.Lock()
        self.stanzas = []
        self.log = []
        self.headers = []     # raw bytes of each stream header the daemon sent
        self.elements = []    # every negotiation element received (Element)
        self.established = threading.Event()
        self.conns = []

    def note(self, what):
        with self.lock:
            self.log.append(what)

    def header(self, conn):
        hdr = conn.read_header()
        raw = conn.reader.data
        self.headers.append(raw[:raw.index(b">", raw.index(b"<stream:stream")) + 1])
        conn.send_header(frm=self.domain, to=hdr.get("from"), id=self.stream_id)
        return hdr

    def serve(self, conn):
        self.conns.append(conn)
        self.header(conn)
        if self.break_at == "xml":
            conn.send("<!DOCTYPE stream>")
            conn.wait_closed(10)
            return
        if self.break_at == "header":
            self.note("closed after header")
            conn.close()
            return
        if not self.direct:
            conn.send(FEATURES_STARTTLS)
            el = conn.next_element()
            self.elements.append(el)
            if el.local != "starttls":
                self.note("expected starttls, got %r" % el.raw)
                return self.rest(conn, el)
            conn.send(PROCEED)
            if self.break_at == "tls":
                conn.send(b"\x15\x03\x01\x00\x02\x02\x28 this is no TLS record" * 4)
                self.note("sent garbage")
                conn.wait_closed(10)
                return
            conn.start_tls_server(self.tls_ctx)
            self.header(conn)
        conn.send(FEATURES_DIALBACK if self.external is None else FEATURES_EXTERNAL)
        if self.break_at == "after-features":
            self.note("closed after features")
            conn.close()
            return
        self.rest(conn, None)

    def rest(self, conn, first):
        el = first
        while True:
            if el is None:
                try:
                    el = conn.next_element()
                except StreamClosed:
                    self.note("stream ended")
                    if self.on_end and not conn.closed:
                        self.on_end(conn)
                    return
            self.handle(conn, el)
            el = None

    def handle(self, conn, el):
        if el.local in ("message", "presence", "iq"):
            with self.lock:
                self.stanzas.append(el.raw)
            return
        self.elements.append(el)
        if el.local == "auth":
            self.note("auth %s %s" % (el.get("mechanism"), el.text))
            if self.external == "success":
                conn.send(SASL_SUCCESS)
                conn.restart()
                self.header(conn)
                conn.send(FEATURES_EMPTY)
                self.established.set()
            else:
                conn.send(SASL_FAILURE)
            return
        if el.name == "db:result":
            self.note("db:result %s %s %d" % (el.get("from"), el.get("to"), len(el.text)))
            if self.dialback is not None:
                conn.send(db_result(self.domain, el.get("from"), self.dialback))
                if self.dialback == "valid":
                    self.established.set()
            return
        if el.name == "db:verify":
            self.note("db:verify %s %s %s" % (el.get("from"), el.get("id"), el.text))
            if self.verify is not None:
                answer = self.verify(conn, el)
                if answer is not None:
                    conn.send(db_verify_answer(self.domain, el.get("from"), el.get("id"), answer))
            return
        self.note("other %r" % el.raw)
