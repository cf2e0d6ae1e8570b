"""A scriptable XMPP server-to-server peer for integration tests (Python 3
standard library only): it plays the remote side of a federation stream,
byte by byte where a test needs it, so that a daemon's outbound or inbound
session can be driven through every step and every failure.

    import xmpp_peer as xp

    srv = xp.PeerListener("127.0.0.2", 5269, handler)   # handler(conn) per connection
    ...
    srv.close()

    def handler(conn):                        # conn: xp.StreamConn
        hdr = conn.read_header()              # the peer's stream header (attrs)
        conn.send_header(frm="b.test", to=hdr.attrs.get("from"), id="abc")
        conn.send(xp.FEATURES_STARTTLS)
        conn.expect("starttls")
        conn.send(xp.PROCEED)
        conn.start_tls_server(cert_chain, key)
        ...

    c = xp.StreamConn.connect("127.0.0.1", port)          # the initiating side
    c.send_header(frm="evil.test", to="a.test")

StreamConn keeps every byte it received (raw) and parses the stream with
expat: read_header() returns the next stream header, next_element() the next
complete child of the stream element (an Element with name, attrs, text,
children and its raw bytes as received). A stream restart (after STARTTLS or
SASL) starts a fresh parser: call restart() at the point where the new
stream begins.
"""

import socket
import ssl
import threading
import time
import xml.parsers.expat

__all__ = [
    "STREAMS_NS", "FEATURES_STARTTLS", "FEATURES_DIALBACK", "FEATURES_EXTERNAL", "FEATURES_EMPTY",
    "PROCEED", "SASL_SUCCESS", "SASL_FAILURE", "STREAM_CLOSE", "Element", "StreamClosed",
    "StreamConn", "PeerListener", "stream_header", "server_context", "client_context",
]

STREAMS_NS = "http://etherx.jabber.org/streams"
FEATURES_STARTTLS = ("<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'>"
                     "<required/></starttls></stream:features>")
FEATURES_DIALBACK = ("<stream:features><dialback xmlns='urn:xmpp:features:dialback'/>"
                     "</stream:features>")
FEATURES_EXTERNAL = ("<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                     "<mechanism>EXTERNAL</mechanism></mechanisms></stream:features>")
FEATURES_EMPTY = "<stream:features/>"
PROCEED = "<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>"
SASL_SUCCESS = "<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>"
SASL_FAILURE = "<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><not-authorized/></failure>"
STREAM_CLOSE = "</stream:stream>"

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
        self.sent = b""           # every byte sent
        self.reader = _Reader()
        self.closed = False
        sock.settimeout(timeout)

    @classmethod
    def connect(cls, host, port, timeout=DEFAULT_TIMEOUT, source=None):
        s = socket.create_connection((host, port), timeout=timeout,
                                     source_address=(source, 0) if source else None)
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

    def start_tls_client(self, ctx, server_hostname=None):
        self.sock = ctx.wrap_socket(self.sock, server_hostname=server_hostname)
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
        self.reader.feed(data)

    def next_event(self, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while not self.reader.events:
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

    def expect(self, local, timeout=None):
        el = self.next_element(timeout)
        if el.local != local:
            raise AssertionError("expected <%s>, got %r (raw %r)" % (local, el, el.raw))
        return el

    def wait_closed(self, timeout=None):
        """True when the other side closes the connection within the time-out
        (elements arriving meanwhile are dropped)."""
        deadline = time.monotonic() + (timeout or self.timeout)
        try:
            while True:
                self.reader.events.clear()
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
