"""Loopback TLS servers and the https_probe runner for the OIDC tests."""

import os
import socket
import ssl
import subprocess
import threading
import time

PROBE = os.path.join(os.environ["FENRA_BUILD"], "tests", "oidc", "https_probe")


def read_request(conn):
    """Reads one request (head and Content-Length body) and returns its bytes."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


class TlsServer:
    """A TLS server on 127.0.0.1 that serves one behaviour per connection:
    "answer" (read the request, send answer, close), "no-handshake" (accept and
    never speak TLS), "silent" (handshake, then never answer), "trickle" (one
    byte of a response every interval)."""

    def __init__(self, cert, mode="answer", answer=b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", interval=0.2):
        self.mode = mode
        self.answer = answer
        self.interval = interval
        self.requests = []
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert.chain, cert.key)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.stop = threading.Event()
        self.held = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.sock.settimeout(0.2)
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        self.held.append(conn)
        if self.mode == "no-handshake":
            self.stop.wait()
            return
        try:
            conn.settimeout(30)
            tls = self.ctx.wrap_socket(conn, server_side=True)
        except (OSError, ssl.SSLError):
            conn.close()
            return
        self.held.append(tls)
        try:
            self.requests.append(read_request(tls))
            if self.mode == "silent":
                self.stop.wait()
                return
            if self.mode == "trickle":
                for b in self.answer:
                    if self.stop.wait(self.interval):
                        return
                    tls.sendall(bytes([b]))
                tls.close()
                return
            tls.sendall(self.answer)
            tls.close()
        except (OSError, ssl.SSLError):
            pass

    def close(self):
        self.stop.set()
        self.sock.close()
        for c in self.held:
            try:
                c.close()
            except OSError:
                pass


def request_parts(raw):
    """Splits request bytes: (request line, {lower-case header name: value}, body)."""
    head, _, body = raw.partition(b"\r\n\r\n")
    line, *fields = head.split(b"\r\n")
    headers = {}
    for f in fields:
        name, _, value = f.partition(b":")
        headers[name.strip().lower().decode()] = value.strip()
    return line, headers, body


def probe(*args, timeout=60):
    """Runs https_probe: returns (first line, body bytes, seconds taken, stderr)."""
    start = time.monotonic()
    r = subprocess.run([PROBE, *args], capture_output=True, timeout=timeout)
    took = time.monotonic() - start
    first, _, rest = r.stdout.partition(b"\n")
    body = b""
    if first.startswith(b"status "):
        size, _, body = rest.partition(b"\n")
        assert len(body) == int(size), (size, len(body))
    return first.decode(), body, took, r.stderr.decode()
