"""OAUTHBEARER logins through fenra-auth-oidc over its IPC socket against the
test identity provider on loopback: tokens the provider signs with its RSA
and Ed25519 keys, the picture in the third string, key rotation, opaque
tokens by introspection, and the forged or unfit tokens that must fail."""

import base64
import hashlib
import hmac
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "auth"))
sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "idp"))
import authlib as a  # noqa: E402
import idp  # noqa: E402
from authlib import t  # noqa: E402

BEARER = t.MECH_OAUTHBEARER
PICTURE = "https://example.org/alice.png"
USERS = [
    {"username": "alice", "password": "alice-pw", "email": "alice@example.org",
     "picture": PICTURE},
    {"username": "bob", "password": "bob-pw", "email": "bob@example.org"},
]
CLIENT = {"client_id": "fenra-xmpp", "client_secret": "s3cret&=+ never-logged"}
NOT_AUTHORIZED = (4, [1, b"not-authorized"])
FETCH = "refreshing JWKS from "


def success(user, picture=""):
    return (3, [1, user.encode(), b"", picture.encode()])


def b64url(data):
    if isinstance(data, str):
        data = data.encode()
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def der(tag, body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + head + body


def der_int(raw):
    raw = raw.lstrip(b"\0") or b"\0"
    return der(0x02, (b"\0" + raw) if raw[0] & 0x80 else raw)


def rsa_public_pem(jwk):
    """The PEM SubjectPublicKeyInfo of an RSA JWK, as an attacker would use
    it for an HMAC key."""
    rsa = der(0x30, der_int(unb64url(jwk["n"])) + der_int(unb64url(jwk["e"])))
    alg = der(0x30, bytes.fromhex("06092a864886f70d010101") + b"\x05\x00")
    spki = der(0x30, alg + der(0x03, b"\0" + rsa))
    text = base64.b64encode(spki).decode()
    lines = [text[i:i + 64] for i in range(0, len(text), 64)]
    return ("-----BEGIN PUBLIC KEY-----\n" + "\n".join(lines) + "\n-----END PUBLIC KEY-----\n")


def gs2(token):
    if isinstance(token, str):
        token = token.encode()
    return b"n,,\x01host=localhost\x01auth=Bearer " + token + b"\x01\x01"


class TokenLogins(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.idp = idp.TestIdp(users=USERS, clients=[CLIENT]).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.idp.__exit__(None, None, None)

    def setUp(self):
        p = self.idp
        self.tokens = []
        self.ad = a.AuthDaemon(issuer=p.issuer, client_id=CLIENT["client_id"],
                               client_secret=CLIENT["client_secret"],
                               token_endpoint=p.token_endpoint, jwks_uri=p.jwks_uri,
                               introspection_endpoint=p.introspection_endpoint,
                               ca_file=p.ca_file, rate_max_per_account="1000",
                               rate_max_per_ip="1000")
        self.d = self.ad.d
        self.c = self.ad.client()

    def tearDown(self):
        self.c.close()
        log = self.d.log_text()
        self.ad.__exit__(None, None, None)
        # Tokens and the client secret never reach the log.
        self.assertNotIn(CLIENT["client_secret"], log)
        for token in self.tokens:
            self.assertNotIn(token, log)

    def login(self, token, account=b"alice", initial=None):
        token = token.decode() if isinstance(token, bytes) else token
        self.tokens.append(token)
        mark = self.d.mark()
        answer = a.request(self.c, BEARER, initial if initial is not None else gs2(token),
                           address=b"127.0.0.1", account=account)
        # The handler's own line comes after every line of the check, so once
        # it is read the log holds the whole request.
        if answer == NOT_AUTHORIZED or answer[0] == 3:
            self.d.wait_for("OAUTHBEARER auth ", scope="auth_handler", start=mark)
        return answer

    def refused(self, token, *lines):
        """The token is refused with the given oidc_store lines."""
        mark = self.d.mark()
        self.assertEqual(self.login(token), NOT_AUTHORIZED)
        self.assertEqual([l.message for l in self.d.find(scope="oidc_store", start=mark)
                          if not l.message.startswith(("refreshing JWKS", "JWKS: cached"))],
                         list(lines))

    def fetches(self):
        return len(self.d.find(FETCH, scope="oidc_store"))

    def claims(self, user="alice", **extra):
        return self.idp.claims(user, **extra)

    # -- tokens the provider issues

    def test_rs256_and_eddsa_tokens(self):
        p = self.idp
        rs = p.access_token("alice", resource="urn:fenra:rs256")
        self.assertEqual(json.loads(unb64url(rs.split(".")[0]))["alg"], "RS256")
        self.assertEqual(self.login(rs), success("alice", PICTURE))
        self.d.wait_for("OAUTHBEARER: validated token for 'alice'", level="info",
                        scope="oidc_store")
        self.d.wait_for("OAUTHBEARER auth success: 'alice'", scope="auth_handler")

        ed = p.access_token("bob", resource="urn:fenra:eddsa")
        self.assertEqual(json.loads(unb64url(ed.split(".")[0]))["alg"], "EdDSA")
        # bob has no picture: the third string is empty.
        self.assertEqual(self.login(ed, account=b"bob"), success("bob"))
        # A bare token without the GS2 header works as well.
        self.assertEqual(self.login(ed, initial=ed.encode()), success("bob"))
        self.assertEqual(self.fetches(), 1)

    def test_fenra_ipc_prints_the_picture(self):
        token = self.idp.access_token("alice", resource="urn:fenra:eddsa")
        self.tokens.append(token)
        out = t.run_ipc_tool(self.ad.socket, "auth", "oauthbearer", token)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.decode(),
                         'AuthSuccess id=1 username="alice" second="" third="%s"\n' % PICTURE)

    def test_opaque_tokens_by_introspection(self):
        opaque = self.idp.access_token("alice")
        self.assertEqual(opaque.count("."), 0)
        self.assertEqual(self.login(opaque), success("alice"))
        self.d.wait_for("OAUTHBEARER: introspection validated for 'alice'", scope="oidc_store")
        # A token the provider never issued is inactive.
        self.refused("x" * len(opaque),
                     "OAUTHBEARER: JWT parse failed (error.InvalidFormat) \xe2\x80\x94 trying "
                     "introspection",
                     "introspection: token is not active")
        self.assertEqual(self.fetches(), 0)

    def test_key_rotation_is_picked_up_by_one_kid_miss_refresh(self):
        p = self.idp
        self.assertEqual(self.login(p.access_token("alice", resource="urn:fenra:rs256")),
                         success("alice", PICTURE))
        self.assertEqual(self.fetches(), 1)
        new = p.rotate()
        token = p.access_token("alice", resource="urn:fenra:rs256")
        self.assertEqual(json.loads(unb64url(token.split(".")[0]))["kid"], new["rs256"])
        started = time.monotonic()
        self.assertEqual(self.login(token), success("alice", PICTURE))
        self.assertEqual(self.fetches(), 2)
        self.assertEqual(self.login(p.access_token("bob", resource="urn:fenra:eddsa"),
                                    account=b"bob"), success("bob"))
        self.assertEqual(self.fetches(), 2)

        # Unknown key ids right after that refresh fetch nothing more.
        mark = self.d.mark()
        for i in range(10):
            forged = p.sign("RS256", self.claims(), header={"kid": "unknown-%d" % i})
            self.assertEqual(self.login(forged), NOT_AUTHORIZED)
        self.assertEqual(len(self.d.find("OAUTHBEARER: no matching key for kid='unknown-",
                                         start=mark)), 10)
        if time.monotonic() - started < 25:
            self.assertEqual(self.fetches(), 2)

    def test_old_and_new_keys_after_a_rotation(self):
        # With the old keys kept, each key's members must come from its own
        # object: the old RSA key follows the new Ed25519 key in the document.
        p = self.idp
        old_rs = p.access_token("alice", resource="urn:fenra:rs256")
        old_ed = p.access_token("bob", resource="urn:fenra:eddsa")
        self.assertEqual(self.login(old_rs), success("alice", PICTURE))
        p.rotate(keep_old=True)
        self.assertEqual(self.login(p.access_token("alice", resource="urn:fenra:eddsa")),
                         success("alice", PICTURE))
        self.d.wait_for("JWKS: cached 4 keys", scope="oidc_store")
        self.assertEqual(self.login(old_rs), success("alice", PICTURE))
        self.assertEqual(self.login(old_ed, account=b"bob"), success("bob"))
        self.assertEqual(self.login(p.access_token("bob", resource="urn:fenra:rs256"),
                                    account=b"bob"), success("bob"))
        self.assertEqual(self.fetches(), 2)

    # -- tokens that must fail

    def test_alg_none_without_signature(self):
        keys = self.idp.keys()
        payload = b64url(json.dumps(self.claims()))
        for kid in (keys["rs256"], keys["eddsa"]):
            header = b64url(json.dumps({"alg": "none", "typ": "JWT", "kid": kid}))
            self.refused(header + "." + payload + ".",
                         "OAUTHBEARER: signature verification failed for sub='alice'")

    def test_hs256_keyed_with_the_rsa_public_key(self):
        p = self.idp
        kid = p.keys()["rs256"]
        jwk = next(k for k in p.jwks()["keys"] if k["kid"] == kid)
        for secret in (rsa_public_pem(jwk), json.dumps(jwk), jwk["n"]):
            header = b64url(json.dumps({"alg": "HS256", "typ": "JWT", "kid": kid}))
            signing_input = header + "." + b64url(json.dumps(self.claims()))
            mac = hmac.new(secret.encode(), signing_input.encode(), hashlib.sha256).digest()
            self.refused(signing_input + "." + b64url(mac),
                         "OAUTHBEARER: signature verification failed for sub='alice'")

    def test_key_not_in_the_jwks(self):
        for alg in ("RS256", "EdDSA"):
            self.refused(self.idp.sign(alg, self.claims(), foreign=True),
                         "OAUTHBEARER: signature verification failed for sub='alice'")

    def test_tampered_payload(self):
        token = self.idp.access_token("bob", resource="urn:fenra:rs256")
        header, payload, sig = token.split(".")
        claims = json.loads(unb64url(payload))
        claims["preferred_username"] = "alice"
        claims["email"] = "alice@example.org"
        self.refused(header + "." + b64url(json.dumps(claims)) + "." + sig,
                     "OAUTHBEARER: signature verification failed for sub='%s'" % claims["sub"])

    def test_expired_token(self):
        p = self.idp
        now = int(time.time())
        self.refused(p.sign("EdDSA", self.claims(exp=now - 1)),
                     "OAUTHBEARER: token expired for sub='alice'")
        self.assertEqual(self.login(p.sign("EdDSA", self.claims(exp=now + 60))),
                         success("alice"))

    def test_issuer_with_a_trailing_slash(self):
        p = self.idp
        self.refused(p.sign("RS256", self.claims(iss=p.issuer + "/")),
                     "OAUTHBEARER: issuer mismatch: got '%s/', expected '%s'"
                     % (p.issuer, p.issuer))

    def test_audience_mismatch(self):
        p = self.idp
        # A token the provider issued for another audience.
        self.refused(p.access_token("alice", resource="urn:fenra:eddsa:other-client"),
                     "OAUTHBEARER: audience mismatch: got 'other-client', expected 'fenra-xmpp'")
        # An array must name this client.
        self.refused(p.sign("RS256", self.claims(aud=["other-client", "third"])),
                     "OAUTHBEARER: audience mismatch: got '[\"other-client\",\"third\"]', "
                     "expected 'fenra-xmpp'")
        self.assertEqual(self.login(p.sign("RS256", self.claims(aud=["other", "fenra-xmpp"]))),
                         success("alice"))

    def test_refusals_count_against_the_account(self):
        # Ten forged tokens lock the account named in the request.
        p = self.idp
        for _ in range(10):
            self.assertEqual(self.login(p.sign("EdDSA", self.claims(), foreign=True),
                                        account=b"carol"), NOT_AUTHORIZED)
        self.d.wait_for("account temp-locked: carol after 10 failures", scope="rate_limiter")
        self.assertEqual(self.login(p.access_token("bob", resource="urn:fenra:eddsa"),
                                    account=b"carol"), (4, [1, b"account-disabled"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
