"""fenra-auth-oidc over its IPC socket: the answers to types 1, 5, 6, 8 and 10,
silence for the types it only carries, malformed frames, framing limits, an
answer that cannot be queued, and the rate limits seen from the core. The
provider's endpoints point at a closed loopback port, so every password check
fails fast; the logins against a real provider are in test_idp_logins.py."""

import os
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import authlib as a  # noqa: E402
from authlib import t  # noqa: E402

u8, u32, s = t.u8, t.u32, t.string
PLAIN, SCRAM, OAUTHBEARER = t.MECH_PLAIN, t.MECH_SCRAM, t.MECH_OAUTHBEARER


def payload_frame(payload):
    return u32(len(payload)) + payload


class SharedDaemon(unittest.TestCase):
    """One daemon for every test of the class."""

    @classmethod
    def setUpClass(cls):
        cls.daemon = a.AuthDaemon()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.__exit__(None, None, None)


class Answers(SharedDaemon):
    def ask(self, frame):
        with self.daemon.client() as c:
            c.send(frame)
            return c.recv_frame()

    def test_numbered_requests(self):
        cases = [
            (t.frame(5, u32(0xFFFFFFFF) + s(b"")), (4, [0xFFFFFFFF, b"not-authorized"])),
            (t.frame(5, u32(3) + s(b"anything")), (4, [3, b"not-authorized"])),
            (t.frame(6, u32(4) + s(b"") * 4), (7, [4, 0, b"not-allowed"])),
            (t.frame(6, u32(4) + s(b"a") * 4), (7, [4, 0, b"not-allowed"])),
            (t.frame(8, u32(5) + s(b"") + s(b"x")), (9, [5, 0, b"bad-request"])),
            (t.frame(8, u32(5) + s(b"x") + s(b"")), (9, [5, 0, b"bad-request"])),
            (t.frame(8, u32(5) + s(b"x") + s(b"y")), (9, [5, 0, b"not-allowed"])),
            (t.frame(10, u32(6) + s(b"")), (11, [6, 0, b"bad-request"])),
            (t.frame(10, u32(6) + s(b"x")), (11, [6, 0, b"not-allowed"])),
            # Bytes after the last field are ignored.
            (t.frame(10, u32(7) + s(b"x") + b"trailing"), (11, [7, 0, b"not-allowed"])),
        ]
        for frame, answer in cases:
            self.assertEqual(self.ask(frame), answer, frame)

    def test_auth_requests(self):
        d = self.daemon.d
        mark = d.mark()
        # SCRAM is refused whatever it carries.
        self.assertEqual(self.ask(t.auth_request(11, SCRAM, b"n,,n=u,r=x")),
                         (4, [11, b"mechanism-not-supported"]))
        # Malformed PLAIN and OAUTHBEARER messages.
        for mech, initial in ((PLAIN, b""), (PLAIN, b"alice"), (PLAIN, b"\0alice\0"),
                              (OAUTHBEARER, b""), (OAUTHBEARER, b"n,,\x01auth=Bearer \x01\x01")):
            self.assertEqual(self.ask(t.auth_request(12, mech, initial)),
                             (4, [12, b"invalid-encoding"]), initial)
        # The provider cannot be reached: a temporary failure, never a
        # missing answer; a token without a JWT's form and no introspection
        # endpoint is refused.
        self.assertEqual(self.ask(t.auth_request(13, PLAIN, a.plain("alice", "pw-never-logged"),
                                                 flag=7, reserved=b"r")),
                         (4, [13, b"temporary-auth-failure"]))
        self.assertEqual(self.ask(t.auth_request(14, OAUTHBEARER, b"not-a-jwt")),
                         (4, [14, b"not-authorized"]))
        d.wait_for("OAUTHBEARER auth failed", start=mark)
        handler = [l.message for l in d.find(scope="auth_handler", start=mark)]
        self.assertEqual(handler, ["PLAIN auth not checked, provider unavailable: 'alice'",
                                   "OAUTHBEARER auth failed"])
        self.assertNotIn("pw-never-logged", d.log_text())
        self.assertNotIn("not-a-jwt", d.log_text())

    def test_ignored_types(self):
        ignored = [
            t.frame(2, u32(1) + s(b"challenge")),
            t.frame(3, u32(1) + s(b"user") + s(b"") + s(b"third")),
            t.frame(3, u32(1) + s(b"user") + s(b"")),  # third string absent
            t.frame(4, u32(1) + s(b"not-authorized")),
            t.frame(7, u32(1) + u8(1) + s(b"")),
            t.frame(9, u32(1) + u8(0) + s(b"x")),
            t.frame(11, u32(1) + u8(0) + s(b"x")),
            t.frame(12, u8(0)),
            t.frame(12, u8(8) + bytes([1, 2, 3, 1, 2, 3, 1, 2])),
            t.frame(16, s(b"a@x") + s(b"b@y") + s(b"<message/>")),
            t.frame(17, s(b"") + s(b"") + s(b"")),
            t.frame(18, s(b"a") + s(b"b") + s(b"remote-server-not-found")),
        ]
        with self.daemon.client() as c:
            # All in one write, then a request: only its answer comes back.
            c.send(b"".join(ignored) + t.auth_response(99))
            self.assertEqual(c.recv_frame(), (4, [99, b"not-authorized"]))
            self.assertTrue(a.no_answer(c))
            self.assertTrue(c.is_open())

    def test_frames_in_one_write_and_split_frames(self):
        with self.daemon.client() as c:
            c.send(t.auth_response(1) + t.frame(10, u32(2) + s(b"")) + t.auth_response(3))
            self.assertEqual([c.recv_frame()[1][0] for _ in range(3)], [1, 2, 3])
            frame = t.frame(8, u32(4) + s(b"x") + s(b"y"))
            for i in range(len(frame)):
                c.send(frame[i:i + 1])
            self.assertEqual(c.recv_frame(), (9, [4, 0, b"not-allowed"]))

    def test_largest_frame(self):
        body = u32(8) + s(b"z" * (8188 - 1 - 4 - 2))
        frame = t.frame(10, body)
        self.assertEqual(len(frame), 8192)
        self.assertEqual(self.ask(frame), (11, [8, 0, b"not-allowed"]))


class Disconnects(SharedDaemon):
    def expect_closed_silently(self, data, answers=0):
        d = self.daemon.d
        mark = d.mark()
        with self.daemon.client() as c:
            c.send(data)
            for _ in range(answers):
                c.recv_frame()
            self.assertTrue(c.wait_closed(10), data[:64])
        d.wait_for("IPC client disconnected, slot=", scope="ipc_server", start=mark)
        # The daemon has no line of its own for it.
        self.assertEqual([l for l in d.find(start=mark) if l.scope != "ipc_server"], [])

    def test_malformed_frames(self):
        auth_body = u32(1) + u8(1) + s(b"") + u8(0) + s(b"") + s(b"") + s(b"\0a\0b")
        malformed = [
            u32(0),                                                    # empty payload
            payload_frame(u8(0) + u32(1) + s(b"")),                    # unknown types
            payload_frame(u8(13) + u32(1) + s(b"")),
            payload_frame(u8(14)),
            payload_frame(u8(15) + b"x" * 10),
            payload_frame(u8(19) + s(b"") * 3),
            payload_frame(u8(255)),
            t.frame(1, u32(1) + u8(0) + auth_body[5:]),                # mechanism 0
            t.frame(1, u32(1) + u8(4) + auth_body[5:]),                # mechanism 4
            t.frame(1, auth_body[:-1]),                                # last string cut short
            t.frame(1, auth_body[:9]),                                 # fields missing
            t.frame(5, u32(1)),                                        # no string
            t.frame(5, b"\x01\x00\x00"),                               # short u32
            t.frame(8, u32(1) + s(b"x") + b"\x05\x00abcd"),            # string past the end
            t.frame(12, u8(9) + bytes([1] * 9)),                       # count above 8
            t.frame(12, u8(2) + bytes([1, 4])),                        # element out of range
            t.frame(12, u8(2) + bytes([0, 1])),
            t.frame(12, u8(3) + bytes([1, 2])),                        # list cut short
            t.frame(16, s(b"a") + s(b"b") + b"\x09\x00short"),
        ]
        for data in malformed:
            self.expect_closed_silently(data)

    def test_good_frame_then_malformed_one(self):
        # The answer to the first is written before the second is decoded.
        self.expect_closed_silently(t.auth_response(1) + u32(0), answers=1)

    def test_frame_larger_than_the_read_buffer(self):
        frame = t.frame(10, u32(8) + s(b"z" * (8189 - 1 - 4 - 2)))
        self.expect_closed_silently(frame)
        # A declared length above 65536 never completes either.
        self.expect_closed_silently(u32(70000) + b"\x0a" + b"y" * 8200)

    def test_answers_that_cannot_be_queued(self):
        d = self.daemon.d
        mark = d.mark()
        c = self.daemon.client()
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        # Many requests, no reading: the socket fills, then the 16 KiB write
        # buffer, and the next answer closes the connection.
        request = t.frame(10, u32(1) + s(b"x"))
        try:
            for _ in range(40):
                c.send(request * 500)
        except (BrokenPipeError, ConnectionResetError):
            pass
        d.wait_for("IPC client disconnected, slot=", scope="ipc_server", start=mark)
        got = 0
        try:
            while True:
                c.recv_frame(timeout=5)
                got += 1
        except (ConnectionError, socket.timeout):
            pass
        c.close()
        # What the socket held arrives; what waited in the write buffer is gone.
        self.assertGreater(got, 0)
        self.assertLess(got, 40 * 500)
        # The daemon goes on serving others.
        with self.daemon.client() as other:
            other.send(t.auth_response(2))
            self.assertEqual(other.recv_frame(), (4, [2, b"not-authorized"]))

    def test_seventeenth_client_is_rejected(self):
        d = self.daemon.d
        clients = []
        try:
            mark = d.mark()
            for i in range(16):
                c = self.daemon.client()
                clients.append(c)
                c.send(t.auth_response(i))
                self.assertEqual(c.recv_frame(), (4, [i, b"not-authorized"]))
            extra = self.daemon.client()
            self.assertTrue(extra.wait_closed(10))
            extra.close()
            d.wait_for("IPC connection rejected: all 16 slots full", level="warn",
                       scope="ipc_server", start=mark)
            clients.pop(5).close()
            d.wait_for("IPC client disconnected, slot=5", start=mark)
            mark = d.mark()
            c = self.daemon.client()
            clients.append(c)
            c.send(t.auth_response(77))
            self.assertEqual(c.recv_frame(), (4, [77, b"not-authorized"]))
            d.wait_for("IPC client connected, slot=5 fd=", start=mark)
        finally:
            for c in clients:
                c.close()


class RateLimits(unittest.TestCase):
    def test_five_quick_attempts_on_one_account(self):
        with a.AuthDaemon() as ad, ad.client() as c:
            for i in range(5):
                self.assertEqual(a.request(c, SCRAM, account=b"carol", address=b"10.0.0.%d" % i),
                                 (4, [1, b"mechanism-not-supported"]))
            mark = ad.d.mark()
            for mech in (SCRAM, PLAIN, OAUTHBEARER):
                self.assertEqual(a.request(c, mech, a.plain("carol", "x"), account=b"carol"),
                                 (4, [1, b"policy-violation"]))
            self.assertEqual(a.request(c, SCRAM, account=b"dave"),
                             (4, [1, b"mechanism-not-supported"]))
            t.wait_until(lambda: len(ad.d.find(start=mark, scope="rate_limiter")) >= 3, 10,
                         "three rate limiter lines")
            self.assertEqual([l.message for l in ad.d.find(start=mark, scope="rate_limiter")],
                             ["rate limited by account: carol"] * 3)
            # Requests without an account go on.
            for _ in range(8):
                self.assertEqual(a.request(c, SCRAM), (4, [1, b"mechanism-not-supported"]))

    def test_twenty_attempts_from_one_address(self):
        with a.AuthDaemon() as ad, ad.client() as c:
            for i in range(20):
                self.assertEqual(a.request(c, SCRAM, address=b"192.0.2.1", account=b"u%d" % i),
                                 (4, [1, b"mechanism-not-supported"]), i)
            self.assertEqual(a.request(c, SCRAM, address=b"192.0.2.1", account=b"new"),
                             (4, [1, b"policy-violation"]))
            ad.d.wait_for("rate limited by IP: 192.0.2.1", level="info", scope="rate_limiter")
            self.assertEqual(a.request(c, SCRAM, address=b"192.0.2.2", account=b"new"),
                             (4, [1, b"mechanism-not-supported"]))

    def test_configured_limits(self):
        with a.AuthDaemon(rate_max_per_account="0", rate_max_per_ip="+3") as ad, \
                ad.client() as c:
            self.assertEqual(a.request(c, SCRAM, account=b"erin"),
                             (4, [1, b"mechanism-not-supported"]))
            self.assertEqual(a.request(c, SCRAM, account=b"erin"), (4, [1, b"policy-violation"]))
            for i in range(3):
                a.request(c, SCRAM, address=b"198.51.100.1")
            self.assertEqual(a.request(c, SCRAM, address=b"198.51.100.1"),
                             (4, [1, b"policy-violation"]))
        # A limit that does not parse falls back to the default without a line.
        with a.AuthDaemon(rate_max_per_account="five", rate_max_per_ip="-1") as ad, \
                ad.client() as c:
            for i in range(5):
                a.request(c, SCRAM, account=b"frank")
            self.assertEqual(a.request(c, SCRAM, account=b"frank"), (4, [1, b"policy-violation"]))
            self.assertEqual([l for l in ad.d.find(level="warn") if "user_domain" not in l.message]
                             + ad.d.find(level="error"), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
