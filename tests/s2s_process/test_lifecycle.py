"""fenra-s2s: signals and shut-down, the S2S listener (created or inherited),
log lines that carry control bytes, and a closed standard error."""

import fcntl
import os
import signal
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import fenra_testlib as t  # noqa: E402

S2S = t.binary("fenra-s2s")


def start(*args, **kw):
    return t.Daemon([S2S, *args], **kw)


class Signals(unittest.TestCase):
    def shut_down_by(self, sig):
        sock = os.path.join(t.temp_dir(), "s2s.sock")
        with start("--listen-fd", "-1", "--core-socket", sock) as d:
            d.wait_for("fenra-s2s event loop started")
            client = t.IpcClient(sock)
            d.wait_for("core connected via IPC slot=0")
            self.assertTrue(os.path.exists(sock))
            self.assertEqual(d.stop(sig), 0, d.log_text())
            self.assertTrue(client.wait_closed(10))
            client.close()
        tail = [(l.level, l.scope, l.message) for l in d.lines[-2:]]
        self.assertEqual(tail, [
            ("info", "fenra-s2s", "received signal %d, shutting down" % sig),
            ("info", "fenra-s2s", "fenra-s2s shutdown complete"),
        ])
        self.assertFalse(os.path.exists(sock))

    def test_sigterm(self):
        self.shut_down_by(signal.SIGTERM)

    def test_sigint(self):
        self.shut_down_by(signal.SIGINT)

    def test_two_sigint_shut_down_once(self):
        with start("--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            os.kill(d.pid, signal.SIGINT)
            os.kill(d.pid, signal.SIGINT)
            self.assertEqual(d.wait_exit(), 0)
        self.assertEqual(len(d.find("received signal")), 1, d.log_text())
        self.assertEqual(len(d.find("shutdown complete")), 1, d.log_text())
        self.assertEqual(d.lines[-1].message, "fenra-s2s shutdown complete")

    def test_sighup_ends_by_default_action(self):
        sock = os.path.join(t.temp_dir(), "s2s.sock")
        with start("--listen-fd", "-1", "--core-socket", sock) as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.stop(signal.SIGHUP), -signal.SIGHUP)
        self.assertEqual(d.find("shutdown complete"), [])
        self.assertEqual(d.find("received signal"), [])
        # No orderly shut-down ran, so the socket file is left behind.
        self.assertTrue(os.path.exists(sock))


class S2sListener(unittest.TestCase):
    def test_without_listener(self):
        with start("--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.lines[2].message, "S2S using inherited listener fd=-1 port=5269")
            self.assertEqual(d.stop(), 0)

    def assert_accepted_and_closed(self, d, address, port, count=3):
        """Each connection gets an inbound session, released when the peer leaves."""
        for _ in range(count):
            mark = d.mark()
            with socket.create_connection((address, port), timeout=10):
                d.wait_for("accepted inbound S2S connection id=", start=mark)
            d.wait_for("closing inbound S2S session id=", start=mark)

    def assert_idle(self, pid):
        # A listener that stayed readable would wake the loop without end.
        self.assertLess(t.cpu_seconds_while_sleeping(pid), 0.5)

    def test_inherited_listener(self):
        addr = t.loopback_address()
        with t.listener(addr) as lst:
            port = lst.getsockname()[1]
            fd = lst.fileno()
            with start("--listen-fd", str(fd), "--port", str(port), pass_fds=[fd]) as d:
                d.wait_for("fenra-s2s event loop started")
                self.assertEqual(d.lines[2].message,
                                 "S2S using inherited listener fd=%d port=%d" % (fd, port))
                # Made non-blocking (the open file is shared with this process).
                self.assertTrue(fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_NONBLOCK)
                lst.close()  # only the daemon holds it now
                self.assert_accepted_and_closed(d, addr, port)
                self.assert_idle(d.pid)
                self.assertEqual(d.stop(), 0)
            # The daemon closed the inherited listener at shut-down.
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((addr, port), timeout=10)

    def test_inherited_descriptor_that_is_not_open(self):
        d = t.run_to_exit([S2S, "--listen-fd", "1000"])
        self.assertEqual(d.returncode, 1, d.log_text())
        self.assertEqual(d.lines[2].message, "S2S using inherited listener fd=1000 port=5269")
        self.assertEqual((d.lines[-1].level, d.lines[-1].scope), ("error", "default"))
        self.assertEqual(d.find("event loop started"), [])

    def test_created_listener(self):
        addr = t.loopback_address()
        port = t.free_port(addr)
        with start("--address", addr, "--port", str(port)) as d:
            d.wait_for("fenra-s2s event loop started")
            d.wait_for("S2S listener on %s:%d" % (addr, port))
            self.assert_accepted_and_closed(d, addr, port)
            self.assert_idle(d.pid)
            self.assertEqual(d.stop(), 0)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((addr, port), timeout=10)


class LogLines(unittest.TestCase):
    def test_control_bytes_stay_on_one_line(self):
        host = "evil\n2026-01-01T00:00:00.000 info(fenra-s2s): forged\x01\x7f\x1b[0m\ttab"
        with start("--host", host, "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.stop(), 0)
        first = d.lines[0]
        self.assertEqual(first.raw.count(b"\n"), 0)
        self.assertEqual(
            first.message,
            "fenra-s2s starting host=evil\\x0a2026-01-01T00:00:00.000 info(fenra-s2s): "
            "forged\\x01\\x7f\\x1b[0m\\x09tab port=5269 listen_fd=-1")
        for line in d.lines:
            self.assertIsNotNone(line.level, "not a log line: %r" % line.raw)
        self.assertEqual(d.find("forged"), [first])

    def test_unknown_argument_with_line_feed(self):
        with start("a\nb", "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.lines[0].message, "unknown argument: a\\x0ab")
            self.assertEqual(d.stop(), 0)


class ClosedStandardError(unittest.TestCase):
    def test_runs_and_shuts_down(self):
        sock = os.path.join(t.temp_dir(), "s2s.sock")
        d = start("--listen-fd", "-1", "--core-socket", sock, "--host", "x\ny",
                  close_stderr=True)
        with d:
            # Without a log to wait for, wait for the socket to accept (that
            # probe takes slot 0 for a moment).
            t.wait_for_socket(sock)
            # Descriptor 2 must not be handed to a socket: log lines would go there.
            self.assertEqual(os.readlink("/proc/%d/fd/2" % d.pid), "/dev/null")
            with t.IpcClient(sock) as c:
                c.send(t.delivery_request("a@b", "c@d", "<message/>"))
                c.send(t.frame(13, b"\x00"))  # malformed: an error line, then closed
                self.assertTrue(c.wait_closed(10))
            with t.IpcClient(sock) as c:
                c.send(t.delivery_request("a@b", "c@d", "<message/>"))
                self.assertTrue(c.is_open(0.3))
            self.assertEqual(d.stop(), 0)
        self.assertFalse(os.path.exists(sock))
        self.assertEqual(d.stdout, b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
