"""The password grant through the OIDC backend: against the test identity
provider (right and wrong passwords, user domain, client secret, trust), and
against a capturing TLS server for the exact form body and a status of 201."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "idp"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import idp  # noqa: E402
import testca  # noqa: E402
from tls_server import PROBE, TlsServer, request_parts  # noqa: E402

USERS = [
    {"username": "alice", "password": "a&b=c+d e%", "email": "alice@example.org"},
    {"username": "carol@chat.example", "password": "carol-pw", "email": "carol@chat.example"},
]
CLIENT = {"client_id": "fenra xmpp", "client_secret": "s3&cret=+ ok"}
SECRETS = ["a&b=c+d e%", "carol-pw", "s3&cret=+ ok", "wrong-pw", "a%26b"]


def grant(url, user, password, ca=None, domain=None, client_id=CLIENT["client_id"],
          client_secret=CLIENT["client_secret"]):
    """Runs one password grant: returns (accepted?, log lines)."""
    args = [PROBE, "password", url, user, password, "--client-id", client_id,
            "--client-secret", client_secret]
    if ca:
        args += ["--ca", ca]
    if domain:
        args += ["--user-domain", domain]
    r = subprocess.run(args, capture_output=True, timeout=60)
    out = r.stdout.decode().strip()
    assert out in ("accepted", "rejected", "unavailable"), (out, r.stderr)
    return out == "accepted", r.stderr.decode()


class PasswordGrantTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.idp = idp.TestIdp(users=USERS, clients=[CLIENT]).__enter__()
        cls.dir = tempfile.mkdtemp(prefix="fenra-ropc-")
        cls.ca = testca.TestCA(cls.dir)
        cls.cert = cls.ca.issue("localhost")

    @classmethod
    def tearDownClass(cls):
        cls.idp.__exit__(None, None, None)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def assertNoSecrets(self, log):
        for s in SECRETS:
            self.assertNotIn(s, log)

    def test_right_and_wrong_password(self):
        p = self.idp
        ok, log = grant(p.token_endpoint, "alice", "a&b=c+d e%", ca=p.ca_file)
        self.assertTrue(ok, log + p.log())
        self.assertIn(" info(oidc_store): ROPC: password validated for 'alice'\n", log)

        ok, log = grant(p.token_endpoint, "alice", "wrong-pw", ca=p.ca_file)
        self.assertFalse(ok)
        self.assertIn(" info(oidc_store): ROPC: token endpoint returned 400 for user 'alice'\n", log)

        ok, log = grant(p.token_endpoint, "nobody", "a&b=c+d e%", ca=p.ca_file)
        self.assertFalse(ok)
        self.assertIn("returned 400 for user 'nobody'", log)
        self.assertNoSecrets(log)

    def test_wrong_client_secret(self):
        p = self.idp
        ok, log = grant(p.token_endpoint, "alice", "a&b=c+d e%", ca=p.ca_file,
                        client_secret="a%26b")
        self.assertFalse(ok)
        self.assertIn("ROPC: token endpoint returned 401 for user 'alice'\n", log)
        self.assertNoSecrets(log)

    def test_user_domain(self):
        p = self.idp
        # The domain is added to a bare name; the log names the user as sent.
        ok, log = grant(p.token_endpoint, "carol", "carol-pw", ca=p.ca_file, domain="chat.example")
        self.assertTrue(ok, log)
        self.assertIn("ROPC: password validated for 'carol'\n", log)
        # A name with its own "@" is sent as it is.
        ok, _ = grant(p.token_endpoint, "carol@chat.example", "carol-pw", ca=p.ca_file,
                      domain="other.example")
        self.assertTrue(ok)
        # Without the domain the bare name is unknown.
        ok, _ = grant(p.token_endpoint, "carol", "carol-pw", ca=p.ca_file)
        self.assertFalse(ok)

    def test_provider_not_trusted(self):
        p = self.idp
        # The system bundles do not hold the test CA.
        ok, log = grant(p.token_endpoint, "alice", "a&b=c+d e%")
        self.assertFalse(ok)
        self.assertIn(" error(oidc_store): ROPC: HTTP request failed: error.TlsHandshakeFailed\n", log)

    def test_exact_form_body_and_status_201(self):
        ca, cert = self.ca, self.cert
        for status, accepted in ((200, True), (201, False), (204, False)):
            answer = f"HTTP/1.1 {status} X\r\nContent-Length: 2\r\n\r\n{{}}".encode()
            s = TlsServer(cert, answer=answer)
            try:
                ok, log = grant(f"https://localhost:{s.port}/realm/token", "dave", "p&=+ w",
                                ca=ca.ca.cert, domain="chat.example")
            finally:
                s.close()
            self.assertEqual(ok, accepted, log)
            body = (b"grant_type=password&client_id=fenra%20xmpp"
                    b"&client_secret=s3%26cret%3D%2B%20ok&username=dave%40chat.example"
                    b"&password=p%26%3D%2B%20w&scope=openid%20email%20profile")
            line, headers, sent = request_parts(s.requests[0])
            self.assertEqual(line, b"POST /realm/token HTTP/1.1")
            self.assertEqual(headers["content-type"], b"application/x-www-form-urlencoded")
            self.assertEqual(headers["content-length"], str(len(body)).encode())
            self.assertEqual(sent, body)
            if not accepted:
                self.assertIn(f"ROPC: token endpoint returned {status} for user 'dave'\n", log)

    def test_answer_200_with_error_document_still_accepts(self):
        ca, cert = self.ca, self.cert
        s = TlsServer(cert, answer=b'HTTP/1.1 200 OK\r\nContent-Length: 25\r\n\r\n'
                      b'{"error":"invalid_grant"}')
        try:
            ok, _ = grant(f"https://localhost:{s.port}/token", "dave", "x", ca=ca.ca.cert)
        finally:
            s.close()
        self.assertTrue(ok)


if __name__ == "__main__":
    unittest.main(verbosity=2)
