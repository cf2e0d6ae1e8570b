"""OAUTHBEARER logins through fenra-auth-oidc over its IPC socket against the
test identity provider on loopback: tokens the provider signs with its RSA
and Ed25519 keys, the picture in the third string, key rotation, opaque
tokens by introspection, the forged or unfit tokens that must fail (tokens of
other clients, claims of other domains, malformed claims, introspection
answers that are not ours), and provider outages."""

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
OTHER = {"client_id": "other-app", "client_secret": "other-secret"}
NOT_AUTHORIZED = (4, [1, b"not-authorized"])
TEMPORARY = (4, [1, b"temporary-auth-failure"])
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
        cls.idp = idp.TestIdp(users=USERS, clients=[CLIENT, OTHER]).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.idp.__exit__(None, None, None)

    def setUp(self):
        self.tokens = []
        self.ad = None
        self.restart()

    def restart(self, **keys):
        """A daemon for the provider, with keys replaced or added."""
        p = self.idp
        if self.ad:
            self.c.close()
            self.check_log()
            self.ad.__exit__(None, None, None)
        self.ad = a.provider_daemon(p, **{"introspection_endpoint": p.introspection_endpoint,
                                          **a.NO_RATE_LIMITS, **keys})
        self.d = self.ad.d
        self.c = self.ad.client()

    def tearDown(self):
        self.c.close()
        self.check_log()
        self.ad.__exit__(None, None, None)

    def check_log(self):
        log = self.d.log_text()
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
        if answer in (NOT_AUTHORIZED, TEMPORARY) or answer[0] == 3:
            self.d.wait_for("OAUTHBEARER auth ", scope="auth_handler", start=mark)
        return answer

    def refused(self, token, *lines, account=b"alice"):
        """The token is refused with the given oidc_store lines."""
        mark = self.d.mark()
        self.assertEqual(self.login(token, account=account), NOT_AUTHORIZED)
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
                     "OAUTHBEARER: not a JWT \xe2\x80\x94 trying introspection",
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
                         "OAUTHBEARER: algorithm 'none' does not fit the key for kid='%s'" % kid)

    def test_hs256_keyed_with_the_rsa_public_key(self):
        p = self.idp
        kid = p.keys()["rs256"]
        jwk = next(k for k in p.jwks()["keys"] if k["kid"] == kid)
        for secret in (rsa_public_pem(jwk), json.dumps(jwk), jwk["n"]):
            header = b64url(json.dumps({"alg": "HS256", "typ": "JWT", "kid": kid}))
            signing_input = header + "." + b64url(json.dumps(self.claims()))
            mac = hmac.new(secret.encode(), signing_input.encode(), hashlib.sha256).digest()
            self.refused(signing_input + "." + b64url(mac),
                         "OAUTHBEARER: algorithm 'HS256' does not fit the key for kid='%s'" % kid)

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
        # 60 seconds of leeway for the clocks.
        self.refused(p.sign("EdDSA", self.claims(exp=now - 90)),
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

    def test_tokens_of_other_clients(self):
        p = self.idp
        other = dict(client_id=OTHER["client_id"], client_secret=OTHER["client_secret"])
        status, doc = p.password_grant("alice", "alice-pw", **other)
        self.assertEqual(status, 200, doc)
        # Its ID token, its opaque access token (introspection names the
        # other client) and its JWT access token.
        self.refused(doc["id_token"], "OAUTHBEARER: audience mismatch: got 'other-app', "
                     "expected 'fenra-xmpp'")
        self.refused(doc["access_token"],
                     "OAUTHBEARER: not a JWT \xe2\x80\x94 trying introspection",
                     "introspection: token not issued for us")
        _, doc = p.password_grant("alice", "alice-pw", resource="urn:fenra:rs256", **other)
        self.refused(doc["access_token"], "OAUTHBEARER: audience mismatch: got 'other-app', "
                     "expected 'fenra-xmpp'")
        # A provider that names only its own account audience: ours must be
        # added (audiences), then azp decides without an aud.
        self.refused(p.sign("EdDSA", self.claims(aud="account")),
                     "OAUTHBEARER: audience mismatch: got 'account', expected 'fenra-xmpp'")
        self.refused(p.sign("EdDSA", self.claims(aud=None, azp="other-app")),
                     "OAUTHBEARER: audience mismatch: got 'other-app', expected 'fenra-xmpp'")
        self.assertEqual(self.login(p.sign("EdDSA", self.claims(aud=None, azp="fenra-xmpp"))),
                         success("alice"))
        self.restart(audiences="fenra-xmpp, account")
        self.assertEqual(self.login(p.sign("EdDSA", self.claims(aud="account"))),
                         success("alice"))

    def test_unfit_claims_and_headers(self):
        p = self.idp
        keys = p.keys()
        bad = "OAUTHBEARER: malformed JWT claims (error.InvalidFormat)"
        foreign = "OAUTHBEARER: username not in our domain"
        now = int(time.time())
        cases = [
            (dict(exp=None), {}, "OAUTHBEARER: token without expiry for sub='alice'"),
            (dict(exp=str(now + 600)), {}, bad),
            (dict(exp=-1), {}, bad),
            (dict(exp=10 ** 20), {}, "OAUTHBEARER: malformed JWT claims (error.ParseError)"),
            (dict(nbf=now + 3600), {}, "OAUTHBEARER: token not yet valid for sub='alice'"),
            (dict(aud=None), {}, "OAUTHBEARER: audience mismatch: got '', expected 'fenra-xmpp'"),
            (dict(aud=7), {}, bad),
            (dict(aud=["fenra-xmpp", None]), {}, bad),
            (dict(aud="other", x={"aud": "fenra-xmpp"}), {},
             "OAUTHBEARER: audience mismatch: got 'other', expected 'fenra-xmpp'"),
            (dict(typ="ID"), {}, "OAUTHBEARER: token type not accepted: 'ID'"),
            (dict(typ="Refresh"), {}, "OAUTHBEARER: token type not accepted: 'Refresh'"),
            ({}, {"typ": "JOSE"}, "OAUTHBEARER: token type not accepted: 'JOSE'"),
            ({}, {"crit": ["exp"]}, "OAUTHBEARER: critical header parameters are not supported"),
            ({}, {"alg": "RS256"},
             "OAUTHBEARER: algorithm 'RS256' does not fit the key for kid='%s'" % keys["eddsa"]),
            (dict(preferred_username="alice@evil.example"), {}, foreign),
            (dict(preferred_username=None), {}, foreign),  # an e-mail not verified
            (dict(preferred_username=None, email_verified=True), {}, foreign),  # no user_domain
            (dict(preferred_username="a b"), {},
             "OAUTHBEARER: unusable username in token claims"),
        ]
        for i, (claims, header, line) in enumerate(cases):
            with self.subTest(claims=claims, header=header):
                self.refused(p.sign("EdDSA", self.claims(**claims), header=header), line,
                             account=b"case%d" % i)
        # The same e-mail, verified and of our domain, is the account.
        self.restart(user_domain="Example.org")
        self.assertEqual(self.login(p.sign("EdDSA", self.claims(
            preferred_username=None, email_verified=True))), success("alice"))
        self.assertEqual(self.login(p.sign("EdDSA", self.claims(preferred_username="ALICE"))),
                         success("alice"))

    def test_introspection_answers(self):
        p = self.idp
        self.restart(introspection_endpoint=p.canned_url())
        ours = {"active": True, "client_id": "fenra-xmpp", "username": "alice"}
        cases = [
            (ours, success("alice"), None),
            (dict(ours, client_id="other-app"), NOT_AUTHORIZED,
             "introspection: token not issued for us"),
            (dict(ours, client_id="other-app", aud=["x", "fenra-xmpp"]), success("alice"), None),
            (dict(ours, active="true"), NOT_AUTHORIZED, "introspection: token is not active"),
            (dict(ours, token_type="refresh_token"), NOT_AUTHORIZED,
             "introspection: not an access token"),
            (dict(ours, typ="ID"), NOT_AUTHORIZED, "introspection: not an access token"),
            (dict(ours, exp=int(time.time()) - 3600), NOT_AUTHORIZED,
             "introspection: token expired"),
            (dict(ours, username="alice@evil.example"), NOT_AUTHORIZED,
             "OAUTHBEARER: username not in our domain"),
        ]
        for answer, outcome, line in cases:
            with self.subTest(answer=answer):
                p.set_canned(answer)
                mark = self.d.mark()
                self.assertEqual(self.login("opaque-token"), outcome)
                if line:
                    self.d.wait_for(line, scope="oidc_store", start=mark)
        # The request names the token type.
        p.set_canned(ours)
        status_url = p.status_url(200)
        self.restart(introspection_endpoint=status_url)
        before = len(p.captured())
        self.login("opaque-token")
        self.assertIn("&token_type_hint=access_token&", p.captured()[before]["body"])

    def test_provider_outages_are_temporary_and_lock_nobody(self):
        p = self.idp
        for keys in (dict(introspection_endpoint=p.status_url(503)),
                     dict(introspection_endpoint=p.status_url(500)),
                     dict(introspection_endpoint=a.closed_port_url("/introspect"))):
            self.restart(**keys)
            for _ in range(12):
                self.assertEqual(self.login("opaque-token", account=b"carol"), TEMPORARY)
            self.assertEqual(self.d.find("temp-locked"), [])
        # Without keys from the provider no JWT can be checked.
        self.restart(jwks_uri=p.status_url(502))
        self.assertEqual(self.login(p.access_token("alice", resource="urn:fenra:eddsa")),
                         TEMPORARY)

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
