"""The HTTPS client against TLS servers on loopback: the request it sends,
responses whole, chunked, cut short and over the size limit, certificate and
host name checks, and the time bounds (shortened through https_probe's
options)."""

import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402
import testca  # noqa: E402
from tls_server import TlsServer, probe, request_parts  # noqa: E402

MAX_RESPONSE = 262144


class HttpsClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="fenra-https-")
        ca = testca.TestCA(cls.dir)
        cls.good = ca.issue("localhost", ips=["127.0.0.1"])
        cls.dns_only = ca.issue("localhost")
        cls.wrong_name = ca.issue("idp.other.example", ips=["127.0.0.2"])
        cls.untrusted = testca.TestCA(cls.dir, "Other CA").issue("localhost", ips=["127.0.0.1"])
        cls.ca_file = ca.ca.cert

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def server(self, cert=None, **kw):
        s = TlsServer(cert or self.good, **kw)
        self.addCleanup(s.close)
        return s

    def test_request_bytes(self):
        s = self.server()
        line, body, _, _ = probe("request", "POST",
                                 f"https://localhost:{s.port}/realms/x/token?a=1&b=%20",
                                 "--body", "a=b", "--type", "application/x-www-form-urlencoded",
                                 "--ca", self.ca_file)
        self.assertEqual((line, body), ("status 200", b"{}"))
        line, headers, sent = request_parts(s.requests[0])
        self.assertEqual(line, b"POST /realms/x/token?a=1&b=%20 HTTP/1.1")
        self.assertEqual(headers["host"], f"localhost:{s.port}".encode())
        self.assertEqual(headers["user-agent"], b"fenra/0.1")
        self.assertEqual(headers["content-type"], b"application/x-www-form-urlencoded")
        self.assertEqual((headers["content-length"], sent), (b"3", b"a=b"))
        self.assertNotIn("expect", headers)

        # Without a body there is neither a type nor a length; a bare host
        # asks for "/".
        line, _, _, _ = probe("request", "GET", f"https://127.0.0.1:{s.port}",
                              "--type", "text/plain", "--ca", self.ca_file)
        self.assertEqual(line, "status 200")
        line, headers, sent = request_parts(s.requests[1])
        self.assertEqual((line, sent), (b"GET / HTTP/1.1", b""))
        self.assertNotIn("content-type", headers)
        self.assertNotIn("content-length", headers)

    def test_response_forms(self):
        ok = b"HTTP/1.1 200 OK\r\n"
        chunked = ok + b"Transfer-Encoding: chunked\r\n\r\n"
        cases = [
            (b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n", "status 404", b""),
            (b"HTTP/1.1 204 No Content\r\n\r\n", "status 204", b""),
            (b"HTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\nabc", "status 201", b"a"),
            (chunked + b"3\r\n{\"a\r\n4\r\n\":1}\r\n0\r\n\r\n", "status 200", b'{"a":1}'),
            # Cut short: by the length, inside a chunk, before the last chunk,
            # or a body whose end is not marked at all.
            (ok + b"Content-Length: 10\r\n\r\nabc", "error InvalidResponse", b""),
            (chunked + b"5\r\nab", "error InvalidResponse", b""),
            (chunked + b"2\r\nab\r\n", "error InvalidResponse", b""),
            (ok + b"\r\n{}", "error InvalidResponse", b""),
            (b"HTTP/1.0 404 Not Found\r\n\r\n", "error InvalidResponse", b""),
            (chunked + b"zz\r\nab\r\n0\r\n\r\n", "error InvalidResponse", b""),
            (b"HTTP/1.1 200 OK\r\nX: y\r\n", "error InvalidResponse", b""),
            (b"", "error InvalidResponse", b""),
            (b"SSH-2.0-x\r\n\r\n", "error InvalidResponse", b""),
        ]
        for answer, want, want_body in cases:
            s = self.server(answer=answer)
            line, body, _, _ = probe("request", "GET", f"https://localhost:{s.port}/",
                                     "--ca", self.ca_file)
            self.assertEqual((line, body), (want, want_body), answer)

    def test_response_size_limit(self):
        # The limit holds whether the size is announced, chunked or neither.
        fits = b"x" * MAX_RESPONSE
        chunk = b"%x\r\n%s\r\n" % (MAX_RESPONSE // 2, b"y" * (MAX_RESPONSE // 2))
        for answer, want in [
            (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(fits), fits),
             "status 200"),
            (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%sx" % (len(fits) + 1, fits),
             "error StreamTooLong"),
            (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk * 3 +
             b"0\r\n\r\n", "error StreamTooLong"),
            (b"HTTP/1.1 200 OK\r\n\r\n" + fits + b"x", "error StreamTooLong"),
        ]:
            s = self.server(answer=answer)
            line, body, _, _ = probe("request", "GET", f"https://localhost:{s.port}/jwks",
                                     "--ca", self.ca_file)
            self.assertEqual(line, want, answer[:40])

    def test_certificate_must_name_the_host(self):
        s = self.server(self.wrong_name)
        for host in ("localhost", "127.0.0.1"):
            line, _, _, _ = probe("request", "GET", f"https://{host}:{s.port}/",
                                  "--ca", self.ca_file)
            self.assertEqual(line, "error TlsHandshakeFailed", host)
        self.assertEqual([r for r in s.requests if r], [])

        # An IP literal is matched against the IP addresses of the
        # certificate, not its DNS names.
        s = self.server(self.dns_only)
        line, _, _, _ = probe("request", "GET", f"https://127.0.0.1:{s.port}/", "--ca", self.ca_file)
        self.assertEqual(line, "error TlsHandshakeFailed")
        line, _, _, _ = probe("request", "GET", f"https://localhost:{s.port}/", "--ca", self.ca_file)
        self.assertEqual(line, "status 200")

    def test_untrusted_ca_is_refused(self):
        s = self.server(self.untrusted)
        line, _, _, _ = probe("request", "GET", f"https://localhost:{s.port}/", "--ca", self.ca_file)
        self.assertEqual(line, "error TlsHandshakeFailed")
        # Nor do the system bundles trust a test CA.
        line, _, _, _ = probe("request", "GET", f"https://localhost:{s.port}/")
        self.assertEqual(line, "error TlsHandshakeFailed")
        # A CA file that does not exist loads nothing: still refused.
        line, _, _, _ = probe("request", "GET", f"https://localhost:{s.port}/",
                              "--ca", os.path.join(self.dir, "missing.pem"))
        self.assertEqual(line, "error TlsHandshakeFailed")
        self.assertEqual([r for r in s.requests if r], [])

    def test_urls_and_connection_errors(self):
        for url, want in [
            ("http://localhost/", "error InvalidUrl"),
            ("https://", "error InvalidUrl"),
            ("https://" + "h" * 256 + "/", "error ConnectionFailed"),
            ("https://no-such-host.invalid/", "error ConnectionFailed"),
        ]:
            line, _, _, _ = probe("request", "GET", url, "--ca", self.ca_file)
            self.assertEqual(line, want, url)
        # Nothing listens on a port just released.
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
        sock.close()
        line, _, _, _ = probe("request", "GET", f"https://127.0.0.1:{port}/", "--ca", self.ca_file)
        self.assertEqual(line, "error ConnectionFailed")

    def test_connect_time_out(self):
        # A listener whose accept queue is full drops further handshakes, so
        # the connect never completes.
        sock = socket.socket()
        self.addCleanup(sock.close)
        sock.bind(("127.0.0.1", 0))
        sock.listen(0)
        port = sock.getsockname()[1]
        fillers = []
        for _ in range(4):
            f = socket.socket()
            f.setblocking(False)
            f.connect_ex(("127.0.0.1", port))
            fillers.append(f)
        self.addCleanup(lambda: [f.close() for f in fillers])
        time.sleep(0.2)
        line, _, took, _ = probe("request", "GET", f"https://127.0.0.1:{port}/",
                                 "--ca", self.ca_file, "--connect-ms", "700")
        self.assertEqual(line, "error ConnectionFailed")
        self.assertGreaterEqual(took, 0.6)
        self.assertLess(took, 10)

    def test_handshake_time_out(self):
        # Connecting includes the TLS handshake.
        s = self.server(mode="no-handshake")
        line, _, took, _ = probe("request", "GET", f"https://localhost:{s.port}/",
                                 "--ca", self.ca_file, "--connect-ms", "700")
        self.assertEqual(line, "error ConnectionFailed")
        self.assertGreaterEqual(took, 0.6)
        self.assertLess(took, 10)

    def test_read_time_out(self):
        s = self.server(mode="silent")
        line, _, took, _ = probe("request", "POST", f"https://localhost:{s.port}/token",
                                 "--body", "x=1", "--ca", self.ca_file, "--total-ms", "700")
        self.assertEqual(line, "error InvalidResponse")
        self.assertEqual(len(s.requests), 1)  # the request was sent in full
        self.assertGreaterEqual(took, 0.6)
        self.assertLess(took, 10)

    def test_whole_exchange_deadline(self):
        # Each byte comes within the per-read bound, but the whole response
        # would take far longer than the overall bound.
        answer = b"HTTP/1.1 200 OK\r\n\r\n" + b"x" * 100
        s = self.server(mode="trickle", answer=answer, interval=0.1)
        line, _, took, _ = probe("request", "GET", f"https://localhost:{s.port}/",
                                 "--ca", self.ca_file, "--connect-ms", "2000", "--total-ms", "1500")
        self.assertEqual(line, "error InvalidResponse")
        self.assertGreaterEqual(took, 1.4)
        self.assertLess(took, 10)

        # The same response at the same pace completes when the bounds allow it.
        answer = b"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n" + b"x" * 11
        s = self.server(mode="trickle", answer=answer, interval=0.02)
        line, body, _, _ = probe("request", "GET", f"https://localhost:{s.port}/",
                                 "--ca", self.ca_file, "--connect-ms", "2000", "--total-ms", "20000")
        self.assertEqual((line, body), ("status 200", b"x" * 11))


if __name__ == "__main__":
    # Host name lookups fail inside the namespace without reaching any real resolver.
    netns.enter()
    unittest.main(verbosity=2)
