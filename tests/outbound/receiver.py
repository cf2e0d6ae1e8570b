"""The receiving side of an outbound federation stream, played by the test:
a remote server that a fenra-s2s daemon connects to. Every step can be
changed or broken by the scenario that uses it.

    r = Receiver("b.test", tls_ctx)                 # knobs: see __init__
    listener = xp.PeerListener("127.0.1.1", 5269, r.serve)
    ...
    r.stanzas       # raw bytes of every stanza received, in order
    r.log           # what happened, for assertions and failure messages
"""

import base64
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import xmpp_peer as xp  # noqa: E402

DB_NS = "jabber:server:dialback"


def db_result(frm, to, type_):
    return "<db:result from='%s' to='%s' type='%s'/>" % (frm, to, type_)


def db_verify_answer(frm, to, id_, type_):
    return "<db:verify from='%s' to='%s' id='%s' type='%s'/>" % (frm, to, id_, type_)


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
            conn.send(xp.FEATURES_STARTTLS)
            el = conn.next_element()
            self.elements.append(el)
            if el.local != "starttls":
                self.note("expected starttls, got %r" % el.raw)
                return self.rest(conn, el)
            conn.send(xp.PROCEED)
            if self.break_at == "tls":
                conn.send(b"\x15\x03\x01\x00\x02\x02\x28 this is no TLS record" * 4)
                self.note("sent garbage")
                conn.wait_closed(10)
                return
            conn.start_tls_server(self.tls_ctx)
            self.header(conn)
        conn.send(xp.FEATURES_DIALBACK if self.external is None else xp.FEATURES_EXTERNAL)
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
                except xp.StreamClosed:
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
                conn.send(xp.SASL_SUCCESS)
                conn.restart()
                self.header(conn)
                conn.send(xp.FEATURES_EMPTY)
                self.established.set()
            else:
                conn.send(xp.SASL_FAILURE)
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


def external_text(domain):
    return base64.b64encode(domain.encode()).decode()
