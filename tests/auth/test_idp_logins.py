"""PLAIN logins through fenra-auth-oidc against the test identity provider on
loopback: right and wrong passwords, one account per person (names
normalised, the user domain), the rate limits and the account lock-out as the
core sees them, provider outages, and no secret in the log."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "idp"))
import authlib as a  # noqa: E402
import idp  # noqa: E402
from authlib import t  # noqa: E402

PLAIN = t.MECH_PLAIN
USERS = [
    {"username": "alice", "password": "a&b=c+d e%", "email": "alice@example.org"},
    {"username": "bob", "password": "bob-pw", "email": "bob@example.org"},
    {"username": "carol@chat.example", "password": "carol-pw", "email": "carol@chat.example"},
]
CLIENT = {"client_id": "fenra xmpp", "client_secret": "s3&cret=+ never-logged"}
SECRETS = [u["password"] for u in USERS] + [CLIENT["client_secret"], "wrong-pw"]

NOT_AUTHORIZED = (4, [1, b"not-authorized"])
POLICY = (4, [1, b"policy-violation"])
DISABLED = (4, [1, b"account-disabled"])
TEMPORARY = (4, [1, b"temporary-auth-failure"])


def success(user):
    return (3, [1, user.encode(), b"", b""])


class IdpLogins(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.idp = idp.TestIdp(users=USERS, clients=[CLIENT]).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.idp.__exit__(None, None, None)

    def daemon(self, **keys):
        return a.provider_daemon(self.idp, **keys)

    def login(self, c, user, password, account=b"", address=b"127.0.0.1"):
        return a.request(c, PLAIN, a.plain(user, password), address=address, account=account)

    def assertNoSecrets(self, d):
        self.assertEqual(a.secrets_in_log(d, SECRETS), [])

    def settle(self, ad, text, count):
        """The log is read by another thread: waits until count lines with text
        have arrived, so that a mark taken next lies after them."""
        deadline = time.monotonic() + 10
        while len(ad.d.find(text)) < count and time.monotonic() < deadline:
            time.sleep(0.02)

    def test_right_and_wrong_password(self):
        with self.daemon() as ad, ad.client() as c:
            self.assertEqual(self.login(c, "alice", "a&b=c+d e%", b"alice"), success("alice"))
            ad.d.wait_for("PLAIN auth success (IdP): 'alice'", level="info", scope="auth_handler")
            ad.d.wait_for("ROPC: password validated for 'alice'", scope="oidc_store")

            mark = ad.d.mark()
            self.assertEqual(self.login(c, "alice", "wrong-pw", b"alice"), NOT_AUTHORIZED)
            ad.d.wait_for("PLAIN auth failed (IdP): 'alice'", start=mark)
            self.assertEqual([(l.scope, l.message) for l in ad.d.find(start=mark)], [
                ("oidc_store", "ROPC: token endpoint returned 400 for user 'alice'"),
                ("auth_handler", "PLAIN auth failed (IdP): 'alice'"),
            ])
            # The authorization identity is ignored; the username is as sent.
            self.assertEqual(a.request(c, PLAIN, a.plain("bob", "bob-pw", authz="admin")),
                             success("bob"))
            self.assertEqual(self.login(c, "nobody", "bob-pw"), NOT_AUTHORIZED)
            self.assertEqual(self.login(c, "", "bob-pw"), NOT_AUTHORIZED)
            self.assertNoSecrets(ad.d)

    def test_one_account_per_person(self):
        with self.daemon(user_domain="chat.example") as ad, ad.client() as c:
            # Every spelling of carol's name is the account carol.
            for name in ("carol", "carol@chat.example", "CAROL@Chat.Example", "Carol"):
                self.assertEqual(self.login(c, name, "carol-pw"), success("carol"), name)
            # alice is known only without a domain; other domains, names
            # with blanks or a second "@" never reach the provider.
            self.assertEqual(self.login(c, "alice", "a&b=c+d e%"), NOT_AUTHORIZED)
            self.settle(ad, "PLAIN auth failed (IdP): 'alice'", 1)
            mark = ad.d.mark()
            for name in ("carol@evil.example", "carol@chat.example@x", "car ol"):
                self.assertEqual(self.login(c, name, "carol-pw"), NOT_AUTHORIZED, name)
            ad.d.wait_for("PLAIN: unusable username", start=mark)
            self.assertEqual(ad.d.find("ROPC", start=mark), [])
        with self.daemon() as ad, ad.client() as c:
            self.assertEqual(self.login(c, "carol", "carol-pw"), NOT_AUTHORIZED)
            self.assertEqual(self.login(c, "carol@chat.example", "carol-pw"), NOT_AUTHORIZED)
            self.assertEqual(self.login(c, "BOB", "bob-pw"), success("bob"))
            ad.d.wait_for("no user_domain configured: user names that carry a domain are "
                          "refused", level="warn")

    def test_every_spelling_counts_for_one_account(self):
        # Failures under Alice, ALICE and alice lock the one account.
        with self.daemon(rate_max_per_account="20") as ad, ad.client() as c:
            for i in range(10):
                name = ("alice", "Alice", "ALICE")[i % 3]
                self.assertEqual(self.login(c, name, "wrong-pw", address=b"2001:db8::%d" % i),
                                 NOT_AUTHORIZED, i)
            ad.d.wait_for("account temp-locked: ")
            self.assertEqual(self.login(c, "aLiCe", "a&b=c+d e%"), DISABLED)

    def test_provider_outage_locks_nobody(self):
        p = self.idp
        for url in (p.status_url(503), a.closed_port_url("/token")):
            with self.daemon(token_endpoint=url, rate_max_per_account="50",
                             rate_max_per_ip="50") as ad, ad.client() as c:
                for _ in range(12):
                    self.assertEqual(self.login(c, "alice", "a&b=c+d e%"), TEMPORARY)
                self.assertEqual(ad.d.find("temp-locked"), [])

    def test_five_quick_attempts_on_one_account(self):
        with self.daemon() as ad, ad.client() as c:
            for i in range(5):
                self.login(c, "bob", "wrong-pw" if i % 2 else "bob-pw", b"bob")
            self.settle(ad, "PLAIN auth", 5)
            mark = ad.d.mark()
            self.assertEqual(self.login(c, "bob", "bob-pw", b"bob"), POLICY)
            ad.d.wait_for("rate limited by account: bob", start=mark)
            # Refused before the provider is asked.
            self.assertEqual([l.message for l in ad.d.find(start=mark)],
                             ["rate limited by account: bob"])
            self.assertEqual(self.login(c, "alice", "a&b=c+d e%", b"alice"), success("alice"))

    def test_twenty_attempts_from_one_address(self):
        with self.daemon() as ad, ad.client() as c:
            for i in range(20):
                name = "user%d" % i
                self.assertEqual(self.login(c, name, "wrong-pw", name.encode(), b"192.0.2.9"),
                                 NOT_AUTHORIZED, i)
            self.settle(ad, "PLAIN auth failed", 20)
            mark = ad.d.mark()
            self.assertEqual(self.login(c, "bob", "bob-pw", b"bob", b"192.0.2.9"), POLICY)
            ad.d.wait_for("rate limited by IP: 192.0.2.9", start=mark)
            self.assertEqual([l.message for l in ad.d.find(start=mark)],
                             ["rate limited by IP: 192.0.2.9"])
            self.assertEqual(self.login(c, "bob", "bob-pw", b"bob", b"192.0.2.10"), success("bob"))

    def test_lock_out_with_an_empty_account_field(self):
        # Ten failures in quick succession: the per-account limit is raised
        # so that only the lock can stop them.
        with self.daemon(rate_max_per_account="20") as ad, ad.client() as c:
            for i in range(10):
                self.assertEqual(self.login(c, "alice", "wrong-pw"), NOT_AUTHORIZED, i)
            ad.d.wait_for("account temp-locked: alice after 10 failures", level="info",
                          scope="rate_limiter")
            mark = ad.d.mark()
            self.assertEqual(self.login(c, "alice", "a&b=c+d e%"), DISABLED)
            ad.d.wait_for("account temporarily locked: alice", start=mark)
            lines = ad.d.find(start=mark)
            self.assertEqual(len(lines), 1, ad.d.log_text())
            self.assertRegex(lines[0].message,
                             r"^account temporarily locked: alice \(until \d+\)$")
            # Naming the account in the request changes nothing.
            self.assertEqual(self.login(c, "alice", "a&b=c+d e%", b"alice"), DISABLED)
            self.assertEqual(self.login(c, "bob", "bob-pw"), success("bob"))
            self.assertNoSecrets(ad.d)

    def test_plain_identity_rate_limit_with_an_empty_account_field(self):
        with self.daemon() as ad, ad.client() as c:
            for i in range(5):
                self.assertEqual(self.login(c, "bob", "wrong-pw", address=b""), NOT_AUTHORIZED)
            self.assertEqual(self.login(c, "bob", "bob-pw", address=b""), POLICY)
            ad.d.wait_for("rate limited by account: bob", scope="rate_limiter")

    def test_success_clears_the_failure_count(self):
        with self.daemon(rate_max_per_account="20") as ad, ad.client() as c:
            for _ in range(9):
                self.assertEqual(self.login(c, "bob", "wrong-pw", b"bob"), NOT_AUTHORIZED)
            self.assertEqual(self.login(c, "bob", "bob-pw", b"bob"), success("bob"))
            for _ in range(9):
                self.assertEqual(self.login(c, "bob", "wrong-pw", b"bob"), NOT_AUTHORIZED)
            self.assertEqual(ad.d.find("temp-locked"), [])
            self.assertEqual(self.login(c, "bob", "wrong-pw", b"bob"), NOT_AUTHORIZED)
            ad.d.wait_for("account temp-locked: bob after 10 failures")


    def test_exact_form_body_and_status_201(self):
        p = self.idp
        with self.daemon(token_endpoint=p.status_url(201), user_domain="chat.example") as ad, \
                ad.client() as c:
            before = len(p.captured())
            self.assertEqual(self.login(c, "carol", "a&b=c+d e%", b"carol"), NOT_AUTHORIZED)
            ad.d.wait_for("ROPC: token endpoint returned 201 for user 'carol'", scope="oidc_store")
            ad.d.wait_for("PLAIN auth failed (IdP): 'carol'", scope="auth_handler")
            req = p.captured()[before]
            self.assertEqual(req["method"], "POST")
            self.assertEqual(req["body"],
                             "grant_type=password&client_id=fenra%20xmpp"
                             "&client_secret=s3%26cret%3D%2B%20never-logged"
                             "&username=carol%40chat.example&password=a%26b%3Dc%2Bd%20e%25"
                             "&scope=openid%20email%20profile")
            self.assertNoSecrets(ad.d)

    def test_hanging_provider(self):
        p = self.idp
        with self.daemon(token_endpoint=p.hang_url()) as ad:
            with ad.client() as c:
                start = time.monotonic()
                c.send(t.auth_request(1, PLAIN, a.plain("alice", "a&b=c+d e%")))
                self.assertEqual(c.recv_frame(timeout=60), TEMPORARY)
                self.assertLess(time.monotonic() - start, 45)
                ad.d.wait_for("ROPC: HTTP request failed: error.", level="error",
                              scope="oidc_store")
                # The daemon serves the next request.
                c.send(t.auth_response(2))
                self.assertEqual(c.recv_frame(), (4, [2, b"not-authorized"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
