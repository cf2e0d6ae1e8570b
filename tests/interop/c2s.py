"""A small blocking XMPP client (RFC 6120 client-to-server) for the peers'
user accounts: STARTTLS with the test CA, SASL PLAIN, resource binding,
initial presence, then messages out and in.

    with C2sClient("127.0.0.2", 5222, "bob@b.test", "secret", cafile) as bob:
        bob.send("<message to='alice@a.test' type='chat'><body>hi</body></message>")
        msg = bob.wait_stanza(lambda e: e.tag == "{jabber:client}message")

Stanzas come back as xml.etree.ElementTree elements with their namespaces
in {uri}name form, so a test can check that the payload kept them. Python
standard library only; every wait has a deadline.
"""

import base64
import socket
import ssl
import time
import xml.etree.ElementTree as ET

STREAMS = "http://etherx.jabber.org/streams"
TLS = "urn:ietf:params:xml:ns:xmpp-tls"
SASL = "urn:ietf:params:xml:ns:xmpp-sasl"
BIND = "urn:ietf:params:xml:ns:xmpp-bind"
CLIENT = "jabber:client"


class C2sError(Exception):
    pass


class C2sTimeout(C2sError):
    pass


class C2sClient:
    def __init__(self, address, port, jid, password, cafile, resource="interop", timeout=30.0):
        self.address = address
        self.port = port
        self.jid = jid
        self.user, self.domain = jid.split("@", 1)
        self.password = password
        self.cafile = cafile
        self.resource = resource
        self.timeout = timeout
        self.full_jid = None
        self.sock = None
        self._parser = None
        self._depth = 0
        self._root = None
        self._ready = []
        self.transcript = []  # ("<<" or ">>", text), for failure messages

    # -- connection ---------------------------------------------------------

    def connect(self):
        self.sock = socket.create_connection((self.address, self.port), timeout=self.timeout)
        features = self._open()
        if features.find("{%s}starttls" % TLS) is None:
            raise C2sError("server offers no STARTTLS")
        self._write("<starttls xmlns='%s'/>" % TLS)
        reply = self._next(lambda e: e.tag in ("{%s}proceed" % TLS, "{%s}failure" % TLS))
        if reply.tag != "{%s}proceed" % TLS:
            raise C2sError("STARTTLS refused")
        ctx = ssl.create_default_context(cafile=self.cafile)
        self.sock = ctx.wrap_socket(self.sock, server_hostname=self.domain)
        features = self._open()
        mechs = [m.text for m in features.iter("{%s}mechanism" % SASL)]
        if "PLAIN" not in mechs:
            raise C2sError("server offers no PLAIN over TLS: %r" % mechs)
        token = base64.b64encode(b"\0" + self.user.encode() + b"\0" + self.password.encode())
        self._write("<auth xmlns='%s' mechanism='PLAIN'>%s</auth>" % (SASL, token.decode()))
        reply = self._next(lambda e: e.tag in ("{%s}success" % SASL, "{%s}failure" % SASL))
        if reply.tag != "{%s}success" % SASL:
            raise C2sError("login of %s refused" % self.jid)
        features = self._open()
        if features.find("{%s}bind" % BIND) is None:
            raise C2sError("server offers no resource binding")
        self._write("<iq type='set' id='bind1'><bind xmlns='%s'><resource>%s</resource></bind>"
                    "</iq>" % (BIND, self.resource))
        reply = self._next(lambda e: e.tag == "{%s}iq" % CLIENT and e.get("id") == "bind1")
        jid = reply.find("{%s}bind/{%s}jid" % (BIND, BIND))
        if reply.get("type") != "result" or jid is None:
            raise C2sError("resource binding failed")
        self.full_jid = jid.text
        # The legacy session request some servers still announce; harmless elsewhere.
        if features.find("{urn:ietf:params:xml:ns:xmpp-session}session") is not None:
            self._write("<iq type='set' id='sess1'><session "
                        "xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>")
            self._next(lambda e: e.tag == "{%s}iq" % CLIENT and e.get("id") == "sess1")
        self._write("<presence><priority>1</priority></presence>")
        return self

    def _open(self):
        """Opens (or restarts) the stream; returns the features element."""
        self._parser = ET.XMLPullParser(events=("start", "end"))
        self._depth = 0
        self._root = None
        self._write("<?xml version='1.0'?><stream:stream to='%s' version='1.0' "
                    "xmlns='jabber:client' xmlns:stream='%s'>" % (self.domain, STREAMS))
        return self._next(lambda e: e.tag == "{%s}features" % STREAMS)

    def close(self):
        if self.sock is None:
            return
        try:
            self._write("</stream:stream>")
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass
        self.sock = None

    def __enter__(self):
        return self.connect()

    def __exit__(self, *exc):
        self.close()
        return False

    # -- traffic ------------------------------------------------------------

    def send(self, xml_text):
        self._write(xml_text)

    def wait_stanza(self, predicate, timeout=None):
        """The next top-level element that predicate accepts; others that
        arrive meanwhile are kept for later calls."""
        return self._next(predicate, timeout)

    def _write(self, text):
        self.transcript.append((">>", text))
        self.sock.sendall(text.encode())

    def _next(self, predicate, timeout=None):
        for i, e in enumerate(self._ready):
            if predicate(e):
                return self._ready.pop(i)
        deadline = time.monotonic() + (timeout if timeout is not None else self.timeout)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise C2sTimeout("%s: no matching element within the deadline" % self.jid)
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not data:
                raise C2sError("%s: server closed the connection; transcript:\n%s"
                               % (self.jid, self.transcript_text()))
            self.transcript.append(("<<", data.decode(errors="replace")))
            self._parser.feed(data)
            found = None
            for event, elem in self._parser.read_events():
                if event == "start":
                    if self._depth == 0:
                        self._root = elem
                    self._depth += 1
                    continue
                self._depth -= 1
                if self._depth == 0:
                    raise C2sError("%s: server closed its stream; transcript:\n%s"
                                   % (self.jid, self.transcript_text()))
                if self._depth != 1:
                    continue
                self._root.remove(elem)
                if elem.tag == "{%s}error" % STREAMS:
                    raise C2sError("%s: stream error %s" % (self.jid, ET.tostring(elem)))
                if found is None and predicate(elem):
                    found = elem
                else:
                    self._ready.append(elem)
            if found is not None:
                return found

    def transcript_text(self, limit=12000):
        text = "\n".join("%s %s" % d for d in self.transcript)
        return text[-limit:]
