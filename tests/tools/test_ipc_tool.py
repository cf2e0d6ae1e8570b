"""fenra-ipc as operators use it: the password asked on a terminal without
echo or read from standard input, the help of each command, every frame
printed whatever the command (also those that arrive while it closes), an
orderly end on a signal; against scripted peers for exact bytes and timing,
and against the real daemons (fenra-auth-oidc with the test identity
provider, fenra-s2s with a DNS server of the test's own) in a private
network namespace."""

import os
import pty
import select
import signal
import subprocess
import sys
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402

netns.enter()  # the real daemons' part needs its own network and DNS

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "auth"))
sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "idp"))
import authlib  # noqa: E402
import fenra_testlib as t  # noqa: E402
import idp  # noqa: E402

IPC = t.binary("fenra-ipc")
CORE_NOTE = b"Every frame received is printed on standard output"
SUCCESS = t.frame(t.AUTH_SUCCESS, t.u32(1) + t.string("alice") + t.string("") + t.string(""))
FAILURE = t.frame(t.AUTH_FAILURE, t.u32(1) + t.string("not-authorized"))


def inbound(frm, to, stanza):
    return t.frame(t.INBOUND_STANZA, t.string(frm) + t.string(to) + t.string(stanza))


def failed(frm, to, condition):
    return t.frame(t.DELIVERY_FAILED, t.string(frm) + t.string(to) + t.string(condition))


def run_tool(*args, stdin=subprocess.DEVNULL, timeout=60):
    return subprocess.run([IPC, *args], stdin=stdin, capture_output=True, timeout=timeout)


class Help(unittest.TestCase):
    def test_general_help_names_command_help_and_the_core_rule(self):
        r = run_tool("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"fenra-ipc [COMMAND] --help", r.stdout)
        self.assertIn(b"Every frame received is printed", r.stdout)
        self.assertIn(b"auth plain USER [PASSWORD]", r.stdout)

    def test_each_command_has_its_own_help_without_a_socket(self):
        general = run_tool("--help").stdout
        for command, usage in (("deliver", b"deliver FROM TO STANZA"), ("listen", b"listen\n"),
                               ("auth", b"auth plain USER [PASSWORD]"),
                               ("raw", b"raw --frame HEX")):
            for flag in ("--help", "-h"):
                with self.subTest(command=command, flag=flag):
                    r = run_tool(command, flag)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertTrue(r.stdout.startswith(b"Usage: fenra-ipc --socket PATH"))
                    self.assertIn(usage, r.stdout)
                    self.assertIn(CORE_NOTE, r.stdout)
                    self.assertNotEqual(r.stdout, general)
        # Options before the command, the help flag anywhere.
        self.assertEqual(run_tool("--socket", "/x", "--help", "auth").stdout,
                         run_tool("auth", "--help").stdout)

    def test_help_of_an_unknown_command_is_a_usage_error(self):
        r = run_tool("fly", "--help")
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"unknown command: fly", r.stderr)


class PasswordFromStandardInput(unittest.TestCase):
    def test_first_line_only_without_line_end(self):
        for text, password in ((b"pw one\nsecond line\n", b"pw one"),
                               (b"dos line\r\n", b"dos line"), (b"no newline", b"no newline"),
                               (b"\n", b"")):
            with self.subTest(text=text):
                peer = t.IpcPeer(t.answer_then(SUCCESS))
                r = run_tool("--socket", peer.path, "--account", "alice", "auth", "plain",
                             "alice", stdin=_pipe(text))
                peer.join()
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout,
                                 b'AuthSuccess id=1 username="alice" second="" third=""\n')
                self.assertEqual(peer.requests,
                                 [(1, [1, 1, b"", 0, b"", b"alice", b"\0alice\0" + password])])

    def test_no_input_or_too_long_fails_before_connecting(self):
        missing = os.path.join(t.temp_dir(), "none.sock")
        for stdin, message in ((subprocess.DEVNULL, b"no password on standard input"),
                               (_pipe(b"x" * 4097 + b"\n"), b"password longer than 4096 bytes")):
            with self.subTest(message=message):
                r = run_tool("--socket", missing, "auth", "plain", "alice", stdin=stdin)
                self.assertEqual(r.returncode, 1)
                self.assertIn(message, r.stderr)
                self.assertNotIn(b"no socket", r.stderr)
        # 4096 bytes are taken.
        peer = t.IpcPeer(t.answer_then(FAILURE))
        r = run_tool("--socket", peer.path, "auth", "plain", "u", stdin=_pipe(b"y" * 4096))
        peer.join()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(peer.requests[0][1][6], b"\0u\0" + b"y" * 4096)


def _pipe(data):
    r, w = os.pipe()
    os.write(w, data)
    os.close(w)
    return r


class PasswordOnTerminal(unittest.TestCase):
    """The tool's standard input and standard error on a pseudo-terminal."""

    def start(self, socket_path):
        self.master, self.slave = pty.openpty()
        self.addCleanup(os.close, self.master)
        self.addCleanup(os.close, self.slave)
        self.proc = subprocess.Popen([IPC, "--socket", socket_path, "auth", "plain", "alice"],
                                     stdin=self.slave, stdout=subprocess.PIPE, stderr=self.slave)
        self.addCleanup(self.proc.kill)
        self.screen = b""

    def read_screen_until(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while text not in self.screen:
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, "%r not on the terminal: %r" % (text, self.screen))
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                self.screen += os.read(self.master, 4096)

    def echo_on(self):
        return bool(termios.tcgetattr(self.slave)[3] & termios.ECHO)

    def test_prompt_without_echo_then_echo_restored(self):
        peer = t.IpcPeer(t.answer_then(SUCCESS))
        self.start(peer.path)
        self.assertTrue(self.echo_on())
        self.read_screen_until(b"Password for alice: ")
        self.assertFalse(self.echo_on())
        self.assertFalse(peer.connected.is_set())  # asked before connecting
        os.write(self.master, b"typed secret\n")
        out, _ = self.proc.communicate(timeout=60)
        peer.join()
        self.assertEqual(self.proc.returncode, 0)
        self.assertEqual(out, b'AuthSuccess id=1 username="alice" second="" third=""\n')
        self.assertEqual(peer.requests[0][1][6], b"\0alice\0typed secret")
        self.assertTrue(self.echo_on())
        time.sleep(0.1)  # whatever the line discipline still echoes
        while select.select([self.master], [], [], 0)[0]:
            self.screen += os.read(self.master, 4096)
        self.assertNotIn(b"typed secret", self.screen)

    def test_interrupted_prompt_restores_echo(self):
        peer = t.IpcPeer(t.answer_then(SUCCESS))
        self.start(peer.path)
        self.read_screen_until(b"Password for alice: ")
        self.proc.send_signal(signal.SIGINT)
        self.assertEqual(self.proc.wait(30), 1)
        self.read_screen_until(b"fenra-ipc: interrupted")
        self.assertTrue(self.echo_on())
        self.assertFalse(peer.connected.is_set())


class EveryFramePrinted(unittest.TestCase):
    def test_auth_prints_frames_before_its_answer(self):
        peer = t.IpcPeer(t.answer_then(inbound("r@x", "j@y", "<message/>") + failed("a", "b", "c")
                                + FAILURE))
        r = run_tool("--socket", peer.path, "auth", "oauthbearer", "tok")
        peer.join()
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode().splitlines(), [
            'InboundStanza from="r@x" to="j@y" stanza="<message/>"',
            'DeliveryFailed from="a" to="b" condition="c"',
            'AuthFailure id=1 condition="not-authorized"'])

    def test_frames_sent_while_the_tool_closes_are_printed(self):
        last = inbound("late@x", "core@y", "<presence/>")
        for args in (["deliver", "a@x", "b@y", "<message/>", "--timeout", "0.1"],
                     ["raw", "16", (t.string("a") * 3).hex(), "--timeout", "0.1"],
                     ["listen", "--timeout", "0.1"],
                     ["auth", "plain", "alice", "pw"]):
            with self.subTest(command=args[0]):
                answer = SUCCESS if args[0] == "auth" else b""
                script = t.answer_then(answer, last) if args[0] != "listen" else \
                    (lambda p, c: (p.wait_eof(c), c.sendall(last)))
                peer = t.IpcPeer(script)
                r = run_tool("--socket", peer.path, *args)
                peer.join()
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(peer.saw_eof)
                self.assertEqual(r.stdout.decode().splitlines()[-1],
                                 'InboundStanza from="late@x" to="core@y" stanza="<presence/>"')

    def test_a_daemon_that_keeps_its_end_open_does_not_hold_the_tool(self):
        def script(peer, conn):
            peer.read_frame(conn)
            time.sleep(5)
        peer = t.IpcPeer(script)
        started = time.monotonic()
        r = run_tool("--socket", peer.path, "deliver", "a", "b", "c", "--timeout", "0")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        self.assertLess(time.monotonic() - started, 4.5)
        peer.join()

    def test_listen_ends_in_order_on_a_signal(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            for count, status in ((None, 0), (3, 1)):
                with self.subTest(signal=sig, count=count):
                    first, last = inbound("a", "b", "1"), inbound("a", "b", "2")
                    sent = threading.Event()

                    def script(peer, conn):
                        conn.sendall(first)
                        sent.set()
                        peer.wait_eof(conn)
                        conn.sendall(last)
                    peer = t.IpcPeer(script)
                    args = ["--socket", peer.path, "listen"]
                    if count:
                        args += ["--count", str(count)]
                    p = subprocess.Popen([IPC, *args], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
                    self.assertTrue(sent.wait(30))
                    self.assertEqual(p.stdout.readline(),
                                     b'InboundStanza from="a" to="b" stanza="1"\n')
                    p.send_signal(sig)
                    out, err = p.communicate(timeout=30)
                    peer.join()
                    self.assertEqual(p.returncode, status, err)
                    self.assertEqual(out, b'InboundStanza from="a" to="b" stanza="2"\n')
                    if count:
                        self.assertIn(b"interrupted after 1 of 3 frames", err)

    def test_truncated_frame_before_the_close_is_malformed(self):
        peer = t.IpcPeer(lambda p, c: (p.read_frame(c), c.sendall(FAILURE[:-3])))
        r = run_tool("--socket", peer.path, "auth", "plain", "u", "p")
        peer.join()
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"malformed answer from the daemon: " + FAILURE[:4].hex().encode(),
                      r.stderr)
        self.assertIn(b"(then it closed the connection)", r.stderr)

    def test_closed_before_the_answer(self):
        peer = t.IpcPeer(lambda p, c: p.read_frame(c))
        r = run_tool("--socket", peer.path, "auth", "plain", "u", "p")
        peer.join()
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertIn(b"connection closed by the daemon before it answered", r.stderr)


class AgainstTheDaemons(unittest.TestCase):
    """The real daemons: fenra-auth-oidc with the test identity provider,
    fenra-s2s with a DNS server that knows no remote domain."""

    USER = {"username": "alice", "password": "pw of alice, never logged",
            "email": "alice@example.org"}
    CLIENT = {"client_id": "fenra-tools", "client_secret": "tools secret, never logged"}

    def test_logins_with_the_password_on_standard_input_and_a_token(self):
        with idp.TestIdp(users=[self.USER], clients=[self.CLIENT]) as p, \
                authlib.provider_daemon(p) as ad:
            r = run_tool("--socket", ad.socket, "--address", "127.0.0.1", "auth", "plain",
                         "alice", stdin=_pipe(self.USER["password"].encode() + b"\n"))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout, b'AuthSuccess id=1 username="alice" second="" third=""\n')
            r = run_tool("--socket", ad.socket, "--id", "7", "auth", "plain", "alice",
                         stdin=_pipe(b"wrong\n"))
            self.assertEqual((r.returncode, r.stdout),
                             (1, b'AuthFailure id=7 condition="not-authorized"\n'))
            token = p.access_token("alice", resource="urn:fenra:rs256")
            r = run_tool("--socket", ad.socket, "auth", "oauthbearer", token)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(r.stdout.startswith(b'AuthSuccess id=1 username="alice"'), r.stdout)
            ad.d.wait_for("OAUTHBEARER auth success: 'alice'")
            self.assertEqual(ad.stop(), 0)
            log = ad.d.log_text()
            for secret in (self.USER["password"], self.CLIENT["client_secret"], token):
                self.assertNotIn(secret, log)

    def test_a_delivery_failure_reaches_the_deliver_command_and_every_core(self):
        workdir = t.temp_dir()
        with netns.DnsServer(netns.Zone(), workdir):
            sock = os.path.join(workdir, "s2s.sock")
            with t.Daemon([t.binary("fenra-s2s"), "--host", "a.test", "--listen-fd", "-1",
                           "--core-socket", sock]) as d:
                d.wait_for("fenra-s2s event loop started")
                listen = subprocess.Popen([IPC, "--socket", sock, "listen", "--count", "1",
                                           "--timeout", "60"], stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE)
                self.addCleanup(listen.kill)
                d.wait_for("core connected via IPC slot=0")
                r = run_tool("--socket", sock, "deliver", "alice@a.test", "bob@nowhere.test",
                             "<message/>", "--timeout", "5")
                self.assertEqual(r.returncode, 0, r.stderr)
                lines = r.stdout.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertRegex(lines[0], r'^DeliveryFailed from="alice@a.test" '
                                           r'to="bob@nowhere.test" condition="[a-z-]+"$')
                out, err = listen.communicate(timeout=60)
                self.assertEqual((listen.returncode, out.decode().splitlines()), (0, lines), err)
                self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
