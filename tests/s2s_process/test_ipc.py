"""fenra-s2s IPC socket and the fenra-ipc tool: the 16 slots, framing limits,
every malformed frame, and the tool's commands and error messages (against
the daemon, and against a scripted peer for the answers a daemon would give)."""

import os
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import fenra_testlib as t  # noqa: E402
import netns  # noqa: E402

S2S = t.binary("fenra-s2s")
IPC = t.binary("fenra-ipc")
UNEXPECTED = "unexpected IPC message from core"
# A delivery whose recipient has no domain is refused at once, without any
# DNS lookup: the frames below use such deliveries to see a type 16 handled.
EMPTY_DOMAIN = "delivery request with empty domain: to="


class DaemonCase(unittest.TestCase):
    """Each test gets its own daemon without S2S listener, with a core socket."""

    def setUp(self):
        self.sock = os.path.join(t.temp_dir(), "s2s.sock")
        self.d = t.Daemon([S2S, "--listen-fd", "-1", "--core-socket", self.sock])
        self.addCleanup(self.d.kill)
        self.d.wait_for("fenra-s2s event loop started")

    def tearDown(self):
        self.assertEqual(self.d.stop(), 0, self.d.log_text())
        self.assertEqual(self.d.lines[-1].message, "fenra-s2s shutdown complete")
        self.assertFalse(os.path.exists(self.sock))

    def connect(self, slot):
        mark = self.d.mark()
        c = t.IpcClient(self.sock)
        self.addCleanup(c.close)
        self.d.wait_for("core connected via IPC slot=%d" % slot, start=mark)
        return c

    def tool(self, *args, timeout=30):
        return t.run_ipc_tool(self.sock, *args, timeout=timeout)

    def warnings(self, start=0):
        """Messages handled: the warning for a message no core should send,
        or the one for a delivery without a domain."""
        return len(self.d.find(UNEXPECTED, level="warn", scope="fenra-s2s", start=start)) + len(
            self.d.find(EMPTY_DOMAIN, level="warn", scope="fenra-s2s", start=start))

    def wait_warnings(self, n, start=0):
        t.wait_until(lambda: self.warnings(start) >= n, what="%d warnings" % n)
        self.assertEqual(self.warnings(start), n)


class Slots(DaemonCase):
    def test_sixteen_accepted_seventeenth_rejected_lowest_free_reused(self):
        clients = [self.connect(n) for n in range(16)]
        mark = self.d.mark()
        extra = t.IpcClient(self.sock)
        self.assertTrue(extra.wait_closed(10))
        extra.close()
        w = self.d.wait_for("IPC connection rejected: all 16 slots full", start=mark)
        self.assertEqual((w.level, w.scope), ("warn", "ipc_server"))
        self.assertEqual(self.d.find("core connected", start=mark), [])
        for c in clients:
            self.assertTrue(c.is_open(0))

        for gone in (9, 2, 5):
            mark = self.d.mark()
            clients[gone].close()
            self.d.wait_for("core disconnected from IPC slot=%d" % gone, start=mark)
            self.d.wait_for("IPC client disconnected, slot=%d" % gone, start=mark)
        clients[2] = self.connect(2)
        clients[5] = self.connect(5)
        clients[9] = self.connect(9)
        # Full again.
        mark = self.d.mark()
        with t.IpcClient(self.sock) as extra:
            self.assertTrue(extra.wait_closed(10))
        self.d.wait_for("IPC connection rejected", start=mark)

    def test_tool_rejected_when_full(self):
        for n in range(16):
            self.connect(n)
        r = self.tool("deliver", "a@b", "c@d", "<message/>")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"connection closed by the daemon", r.stderr)


class Messages(DaemonCase):
    def test_deliver_without_domain_is_refused_with_invalid_jid(self):
        r = self.tool("deliver", "romeo@a.example", "juliet@",
                      "<message to='juliet@'><body>hi</body></message>", "--timeout", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"DeliveryFailed", r.stdout)
        self.assertIn(b"invalid-jid", r.stdout)
        self.wait_warnings(1)
        self.d.wait_for(EMPTY_DOMAIN + "juliet@")
        self.assertEqual(self.d.find("IPC decode error"), [])
        # The tool closed its end itself: an ordinary disconnect.
        self.d.wait_for("core disconnected from IPC slot=0")

    def test_every_well_formed_type_is_unexpected(self):
        s = t.string
        bodies = {
            1: t.u32(7) + t.u8(1) + s("") + t.u8(0) + s("") + s("") + s("\0u\0p"),
            2: t.u32(1) + s("x"), 3: t.u32(1) + s("u") + s(""), 4: t.u32(1) + s("x"),
            5: t.u32(1) + s(""), 6: t.u32(1) + s("") * 4, 7: t.u32(1) + t.u8(0) + s(""),
            8: t.u32(1) + s("a") + s("b"), 9: t.u32(1) + t.u8(1) + s("c"), 10: t.u32(1) + s("x"),
            11: t.u32(1) + t.u8(0) + s(""), 12: t.u8(3) + bytes([1, 2, 3]),
            16: s("a") + s("b@") + s("c"), 17: s("a") + s("b") + s("c"),
            18: s("a") + s("b") + s("c"),
        }
        c = self.connect(0)
        c.send(b"".join(t.frame(k, v) for k, v in bodies.items()))
        self.wait_warnings(len(bodies))
        self.assertTrue(c.is_open())

    def test_trailing_bytes_are_ignored(self):
        c = self.connect(0)
        c.send(t.frame(16, t.string("a") + t.string("b@") + t.string("c") + b"\xff\x00junk"))
        self.wait_warnings(1)
        self.assertTrue(c.is_open())

    def test_two_frames_in_one_write_and_a_split_frame(self):
        a = self.connect(0)
        b = self.connect(1)
        f = t.delivery_request("a@b", "c@", "<message/>")
        a.send(f + f)
        self.wait_warnings(2)
        mark = self.d.mark()
        a.send(f[:7])
        b.send(f)  # handled after a's first half was read
        self.wait_warnings(1, start=mark)
        a.send(f[7:])
        self.wait_warnings(2, start=mark)
        self.assertTrue(a.is_open(0) and b.is_open(0))


class Malformed(DaemonCase):
    def expect_decode_error(self, *args):
        """Sends with fenra-ipc raw ARGS on slot 1 while slot 0 stays connected."""
        mark = self.d.mark()
        r = self.tool("raw", *args, "--timeout", "10")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn(b"connection closed by the daemon", r.stderr)
        line = self.d.wait_for("IPC decode error on slot=1", start=mark)
        self.assertEqual((line.level, line.scope), ("error", "fenra-s2s"))
        self.d.wait_for("IPC client disconnected, slot=1", start=mark)
        self.assertEqual(self.warnings(mark), 0)

    def test_each_malformed_kind_disconnects(self):
        keep = self.connect(0)
        s = lambda v: t.string(v).hex()  # noqa: E731
        cases = {
            "type 0": ["0", ""],
            "type 13": ["13", "00"],
            "type 14": ["14", ""],
            "type 15": ["15", "0000"],
            "type 19": ["19", "00"],
            "type 255": ["255", s("a") * 3],
            "empty delivery body": ["16", ""],
            "delivery short of its third string": ["16", s("a") + s("b")],
            "second string one byte past the end": ["16", s("a") + "0200" + "62"],
            "string length cut in half": ["16", s("a") + s("b") + "05"],
            "auth request short of its id": ["1", "0100"],
            "auth request short of its last string": [
                "1", "07000000" + "01" + s("") + "00" + s("") + s("") + "0500" + "0000"],
            "mechanism 0": ["1", "07000000" + "00" + s("") + "00" + s("") * 3],
            "mechanism 4": ["1", "07000000" + "04" + s("") + "00" + s("") * 3],
            "type 12 count 9": ["12", "09" + "01" * 9],
            "type 12 item 4": ["12", "02" + "01" + "04"],
            "type 12 short": ["12", "03" + "0101"],
            "type 7 without condition": ["7", "0100000001"],
            "length 0": ["--frame", "00000000"],
            "length 0 then more": ["--frame", "00000000" + "05000000" + "10" + "00" * 4],
        }
        for name, args in cases.items():
            with self.subTest(name):
                self.expect_decode_error(*args)
        self.assertTrue(keep.is_open(0))
        keep.send(t.delivery_request("a", "b@", "c"))
        self.wait_warnings(1)

    def test_frame_after_a_malformed_one_is_not_handled(self):
        c = self.connect(0)
        c.send(t.frame(13, b"") + t.delivery_request("a", "b", "c"))
        self.assertTrue(c.wait_closed(10))
        self.d.wait_for("IPC decode error on slot=0")
        self.assertEqual(self.warnings(), 0)


class Limits(DaemonCase):
    """With --max-stanza-size 10000: a frame from a core may hold that stanza
    with 6153 bytes of fields (16153 in all); a larger one is skipped."""

    LIMIT = 10000
    BUFFER = 10000 + 6153

    def setUp(self):
        self.sock = os.path.join(t.temp_dir(), "s2s.sock")
        self.d = t.Daemon([S2S, "--listen-fd", "-1", "--core-socket", self.sock,
                           "--max-stanza-size", str(self.LIMIT)])
        self.addCleanup(self.d.kill)
        self.d.wait_for("fenra-s2s event loop started")

    def failed(self, c, to, condition=b"policy-violation"):
        self.assertEqual(c.recv_frame(10), (t.DELIVERY_FAILED, [b"a", to, condition]))

    def test_stanzas_up_to_the_limit_are_taken_larger_ones_refused(self):
        c = self.connect(0)
        to = b"b@" + b"d" * 3069  # the longest address
        # Taken, and refused for its recipient only.
        c.send(t.delivery_request("a", "b@", "x" * self.LIMIT))
        self.failed(c, b"b@", b"invalid-jid")
        c.send(t.delivery_request("a", "b@", "x" * (self.LIMIT + 1)))
        self.failed(c, b"b@")
        # The largest frame that fits the buffer, and one byte more.
        whole = t.delivery_request("a", to, b"x" * (self.BUFFER - 4 - 7 - 1 - len(to)))
        self.assertEqual(len(whole), self.BUFFER)
        c.send(whole)
        self.failed(c, to)
        c.send(t.delivery_request("a", to, b"x" * (self.BUFFER - 4 - 7 - len(to))) +
               t.delivery_request("a", "b@", "next"))
        self.failed(c, to)
        self.failed(c, b"b@", b"invalid-jid")
        self.assertTrue(c.is_open(0.1))
        self.assertEqual(self.d.find("IPC decode error"), [])

    def test_declared_length_beyond_any_frame_never_completes(self):
        c = self.connect(0)
        c.send(struct.pack("<I", 16 * 1024 * 1024 + 1) + b"\x10" + b"\x00" * 100)
        self.assertTrue(c.is_open(0.3))
        c.send(b"\x00" * self.BUFFER)
        self.assertTrue(c.wait_closed(10))
        self.assertEqual(self.d.find("IPC decode error"), [])


class ToolAgainstDaemon(DaemonCase):
    def test_listen_times_out_quietly(self):
        r = self.tool("listen", "--timeout", "0.3")
        self.assertEqual((r.returncode, r.stdout), (0, b""), r.stderr)
        r = self.tool("listen", "--count", "1", "--timeout", "0.3")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"timed out after 0 of 1 frames", r.stderr)

    def test_listen_counts_as_a_core(self):
        p = subprocess.Popen([IPC, "--socket", self.sock, "listen"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        try:
            self.d.wait_for("core connected via IPC slot=0")
        finally:
            p.terminate()
            p.communicate(timeout=30)
        self.d.wait_for("core disconnected from IPC slot=0")


class ToolAgainstIpcPeer(unittest.TestCase):
    def run_tool(self, peer, *args):
        return subprocess.run([IPC, "--socket", peer.path, *args], capture_output=True,
                              timeout=60)

    def test_auth_plain_success(self):
        answer = t.frame(3, t.u32(42) + t.string("romeo") + t.string("") + t.string("x\ny"))
        peer = t.IpcPeer(t.answer_then(answer))
        r = self.run_tool(peer, "auth", "plain", "romeo", "s3cret", "--id", "42",
                          "--address", "192.0.2.7", "--account", "romeo")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout,
                         b'AuthSuccess id=42 username="romeo" second="" third="x\\x0ay"\n')
        self.assertEqual(peer.join(),
                         [(1, [42, 1, b"192.0.2.7", 0, b"", b"romeo", b"\0romeo\0s3cret"])])

    def test_auth_oauthbearer_failure(self):
        peer = t.IpcPeer(t.answer_then(t.frame(4, t.u32(1) + t.string("not-authorized"))))
        r = self.run_tool(peer, "auth", "oauthbearer", "tok.en")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b'AuthFailure id=1 condition="not-authorized"\n')
        self.assertEqual(peer.join(),
                         [(1, [1, 3, b"", 0, b"", b"", b"n,,\x01auth=Bearer tok.en\x01\x01"])])

    def test_malformed_answers(self):
        for answer in [t.u32(0), t.frame(13, b""), t.frame(4, t.u32(1) + b"\x05\x00ab"),
                       struct.pack("<I", 70000) + b"\x04"]:
            with self.subTest(answer=answer.hex()):
                peer = t.IpcPeer(lambda p, c: (p.read_frame(c), c.sendall(answer)))
                r = self.run_tool(peer, "auth", "plain", "u", "p")
                self.assertEqual(r.returncode, 1)
                self.assertIn(b"malformed answer from the daemon: " + answer[:4].hex().encode(),
                              r.stderr)
                peer.join()

    def test_listen_prints_every_frame_escaped(self):
        frames = (t.frame(17, t.string("a@x") + t.string("b@y")
                          + t.string(b'<message>"q"\\\n\x01\x7f\xc3\xa9</message>'))
                  + t.frame(18, t.string("a") + t.string("b") + t.string("tcp-connect-failed"))
                  + t.frame(12, t.u8(2) + b"\x01\x03")
                  + t.frame(7, t.u32(9) + t.u8(0) + t.string("not-allowed")))
        peer = t.IpcPeer(lambda p, c: (c.sendall(frames), p.wait_eof(c)))
        r = self.run_tool(peer, "listen", "--count", "4", "--timeout", "20")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode("utf-8").splitlines(), [
            'InboundStanza from="a@x" to="b@y" '
            'stanza="<message>\\"q\\"\\\\\\x0a\\x01\\x7fé</message>"',
            'DeliveryFailed from="a" to="b" condition="tcp-connect-failed"',
            "Message12 count=2 items=1,3",
            'Message7 id=9 ok=0 condition="not-allowed"',
        ])

    def test_raw_sends_bytes_as_given(self):
        for args, sent in ((["16", t.string("a").hex() * 3], t.frame(16, t.string("a") * 3)),
                           (["--frame", "0300000010AbCd"], bytes.fromhex("0300000010abcd"))):
            peer = t.IpcPeer(lambda p, c: p.read_frame(c))
            r = self.run_tool(peer, "raw", *args)
            peer.join()
            self.assertEqual(peer.received, sent)
            self.assertEqual(r.returncode, 1)  # the peer closed


class ToolErrors(unittest.TestCase):
    def run_tool(self, *args):
        return subprocess.run([IPC, *args], capture_output=True, timeout=60)

    def test_missing_socket(self):
        p = os.path.join(t.temp_dir(), "none.sock")
        r = self.run_tool("--socket", p, "listen")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"no socket at " + p.encode(), r.stderr)

    def test_refused(self):
        p = os.path.join(t.temp_dir(), "stale.sock")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(p)
        s.close()
        r = self.run_tool("--socket", p, "deliver", "a", "b", "c")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"connection refused at " + p.encode(), r.stderr)

    def test_usage_errors(self):
        self.assertEqual(self.run_tool("--help").returncode, 0)
        self.assertIn(b"deliver FROM TO STANZA", self.run_tool("--help").stdout)
        for args in (["listen"], ["--socket", "/x"], ["--socket", "/x", "fly"],
                     ["--socket", "/x", "deliver", "a"], ["--socket", "/x", "raw", "1", "0"],
                     ["--socket", "/x", "raw", "256", ""], ["--socket", "/x", "auth", "scram"],
                     ["--socket", "/x", "listen", "--timeout", "soon"], ["--socket"]):
            with self.subTest(args=args):
                r = self.run_tool(*args)
                self.assertEqual(r.returncode, 2, r)
                self.assertTrue(r.stderr.startswith(b"fenra-ipc: "), r.stderr)


if __name__ == "__main__":
    netns.enter()
    unittest.main(verbosity=2)
