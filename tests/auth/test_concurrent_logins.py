"""Logins side by side in fenra-auth-oidc, against the test identity provider:
answers as each login ends, matched by id; a hanging token endpoint that holds
no other login nor another core connection; tokens parked for one JWKS
refresh; max_in_flight = 1; a request that
replaces the login in progress; a core that goes away; the rate limits under
bursts."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "idp"))
import authlib as a  # noqa: E402
import idp  # noqa: E402
from authlib import t  # noqa: E402

USERS = [
    {"username": "alice", "password": "alice-pw", "email": "alice@example.org"},
    {"username": "bob", "password": "bob-pw", "email": "bob@example.org"},
]
CLIENT = {"client_id": "fenra-xmpp", "client_secret": "s3cret never-logged"}
SECRETS = ["alice-pw", "bob-pw", "wrong-pw", CLIENT["client_secret"]]


def ok(i, user):
    return (3, [i, user.encode(), b"", b""])


def refused(i, condition):
    return (4, [i, condition.encode()])


class ConcurrentLogins(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.idp = idp.TestIdp(users=USERS, clients=[CLIENT]).__enter__()
        token = cls.idp.access_token("bob", resource="urn:fenra:rs256")
        cls.bearer_message = b"n,,\x01auth=Bearer " + token.encode() + b"\x01\x01"

    @classmethod
    def tearDownClass(cls):
        cls.idp.__exit__(None, None, None)

    def daemon(self, **keys):
        ad = a.provider_daemon(self.idp, **{**a.NO_RATE_LIMITS, **keys})
        self.addCleanup(lambda: self.assertEqual(a.secrets_in_log(ad.d, SECRETS), []))
        return ad

    def delay_grants(self, ms):
        self.idp.set_token_delay(ms)
        self.addCleanup(self.idp.set_token_delay, 0)

    def plain(self, c, i, user, password):
        c.send(t.auth_request(i, t.MECH_PLAIN, a.plain(user, password), address=b"127.0.0.1"))

    def bearer(self, c, i):
        c.send(t.auth_request(i, t.MECH_OAUTHBEARER, self.bearer_message))

    def answers(self, c, n):
        return [c.recv_frame(timeout=30) for _ in range(n)]

    def read(self, c):
        """A numbered request's answer proves the daemon has read what came before."""
        c.send(t.frame(6, t.u32(99) + t.string(b"a") * 4))
        self.assertEqual(c.recv_frame(), (7, [99, 0, b"not-allowed"]))

    def test_hanging_provider_holds_no_other_login(self):
        # The two held logins fill max_in_flight; a JWT needs no room.
        with self.daemon(token_endpoint=self.idp.hang_url(), max_in_flight="2") as ad, \
                ad.client() as c1, ad.client() as c2:
            self.plain(c1, 1, "alice", "alice-pw")
            self.plain(c2, 1, "bob", "bob-pw")
            self.bearer(c1, 2)
            self.assertEqual(c1.recv_frame(), ok(2, "bob"))
            self.bearer(c2, 2)
            self.assertEqual(c2.recv_frame(), ok(2, "bob"))
            self.read(c2)
            self.assertTrue(a.no_answer(c1))

    def test_hanging_jwks_endpoint_parks_tokens_only(self):
        with self.daemon(jwks_uri=self.idp.hang_url()) as ad, ad.client() as c:
            self.bearer(c, 1)
            self.bearer(c, 2)
            self.plain(c, 3, "alice", "alice-pw")
            self.assertEqual(c.recv_frame(), ok(3, "alice"))
            self.assertTrue(a.no_answer(c))
            # One refresh for both tokens, which wait for it rather than fail.
            ad.d.wait_for("refreshing JWKS from ")
            self.assertEqual(len(ad.d.find("refreshing JWKS from ")), 1)

    def test_answers_as_logins_end_or_in_order(self):
        self.delay_grants(400)
        with self.daemon() as ad, ad.client() as c:
            self.plain(c, 1, "alice", "alice-pw")
            self.plain(c, 2, "bob", "wrong-pw")
            self.bearer(c, 3)
            got = self.answers(c, 3)
            self.assertEqual(got[0], ok(3, "bob"))
            self.assertEqual(sorted(got[1:]), [ok(1, "alice"), refused(2, "not-authorized")])
        with self.daemon(max_in_flight="1") as ad, ad.client() as c:
            self.plain(c, 1, "alice", "alice-pw")
            self.plain(c, 2, "bob", "wrong-pw")
            self.bearer(c, 3)
            self.assertEqual(self.answers(c, 3),
                             [ok(1, "alice"), refused(2, "not-authorized"), ok(3, "bob")])

    def test_a_new_request_replaces_the_login_in_progress(self):
        self.delay_grants(400)
        with self.daemon() as ad, ad.client() as c:
            self.plain(c, 1, "alice", "wrong-pw")
            self.bearer(c, 1)
            self.assertEqual(c.recv_frame(), ok(1, "bob"))
            self.assertTrue(a.no_answer(c, 1.0))

    def test_a_closing_core_cancels_its_logins(self):
        with self.daemon(token_endpoint=self.idp.hang_url(), max_in_flight="1") as ad:
            c1 = ad.client()
            self.plain(c1, 1, "alice", "alice-pw")
            self.read(c1)
            with ad.client() as c2:
                self.bearer(c2, 5)
                self.assertTrue(a.no_answer(c2))  # behind the held login
                c1.close()
                self.assertEqual(c2.recv_frame(), ok(5, "bob"))

    def test_bursts_count_as_one_by_one(self):
        # Five devices of one user at once: all in, nothing locked.
        with self.daemon(rate_max_per_account="5") as ad, ad.client() as c:
            for i in range(1, 6):
                self.plain(c, i, "alice", "alice-pw")
            self.assertEqual(self.answers(c, 5), [ok(i, "alice") for i in range(1, 6)])
        # Fifty wrong ones: five asked, the rest refused by the rate limit.
        with self.daemon(rate_max_per_account="5") as ad, ad.client() as c:
            for i in range(1, 51):
                self.plain(c, i, "bob", "wrong-pw")
            self.assertEqual(self.answers(c, 50),
                             [refused(i, "not-authorized") for i in range(1, 6)]
                             + [refused(i, "policy-violation") for i in range(6, 51)])
            t.wait_until(lambda: len(ad.d.find("ROPC: token endpoint returned")) >= 5, 10,
                         "the grants' lines")
            self.assertEqual(len(ad.d.find("ROPC: token endpoint returned")), 5)


if __name__ == "__main__":
    unittest.main(verbosity=2)
