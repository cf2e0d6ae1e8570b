"""fenra-s2s: the command line and every start-up failure, driven through the
real binary. Each failure must end with its own error line, then the entry
point's "error(default): NAME" line, and exit status 1."""

import os
import shutil
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import fenra_testlib as t  # noqa: E402

S2S = t.binary("fenra-s2s")

USAGE = (
    b"Usage: fenra-s2s [OPTIONS]\n"
    b"\n"
    b"Options:\n"
    b"  --host HOST         Local XMPP domain (default: localhost)\n"
    b"  --address ADDR      Bind address (default: 0.0.0.0)\n"
    b"  --port PORT         S2S listener port (default: 5269)\n"
    b"  --core-socket PATH  IPC socket for fenra-core communication\n"
    b"  --cert PATH         TLS certificate file (PEM)\n"
    b"  --key PATH          TLS private key file (PEM)\n"
    b"  --dialback-secret-file PATH\n"
    b"                      Dialback secret shared by every instance of the domain\n"
    b"                      (at least 32 bytes; mode 0600 or stricter)\n"
    b"  --log-level LEVEL   error, warn or info (default: info)\n"
    b"  --no-stanza-log     No log line per stanza forwarded\n"
    b"  --dns-server ADDR   Nameserver ADDR[@PORT], repeatable (default: resolv.conf)\n"
    b"  --dns-trust-anchor FILE\n"
    b"                      DNSSEC trust anchor (default: the system's root key)\n"
    b"  --connect-timeout SECONDS\n"
    b"                      Outbound TCP connect and TLS, per target (default: 15)\n"
    b"  --negotiation-timeout SECONDS\n"
    b"                      Until a stream is authenticated (default: 60)\n"
    b"  --close-timeout SECONDS\n"
    b"                      For the peer's close after ours (default: 5)\n"
    b"  --inbound-idle-timeout SECONDS\n"
    b"                      Inbound stream without bytes received (default: 600)\n"
    b"  --dialback-timeout SECONDS\n"
    b"                      For the authoritative server's answer (default: 30)\n"
    b"  --outbound-idle-timeout SECONDS\n"
    b"                      Outbound stream without stanzas (default: 600)\n"
    b"  --delivery-timeout SECONDS\n"
    b"                      Delivery waiting for its stream (default: 60)\n"
    b"  --max-unauthenticated-per-address N\n"
    b"                      Inbound connections still negotiating from one address\n"
    b"                      (IPv4, IPv6 /64) (default: 8)\n"
    b"  --help, -h          Show this help\n"
)

_ca = None
_certs = {}


def certs():
    """Two certificates of one test CA, made once per run."""
    global _ca
    if _ca is None:
        _ca = t.TestCA(t.temp_dir())
        _certs["a"] = _ca.issue("a.example", dns=["a.example"])
        _certs["b"] = _ca.issue("b.example", dns=["b.example"])
    return _certs


def run(*args, **kw):
    return t.run_to_exit([S2S, *args], **kw)


def start(*args, **kw):
    return t.Daemon([S2S, *args], **kw)


class Failure(unittest.TestCase):
    def expect_failure(self, args, message, error, level="error", kw=None):
        d = run(*args, **(kw or {}))
        self.assertEqual(d.returncode, 1, d.log_text())
        self.assertGreaterEqual(len(d.lines), 2, d.log_text())
        last, before = d.lines[-1], d.lines[-2]
        self.assertEqual((last.level, last.scope, last.message), ("error", "default", error),
                         d.log_text())
        self.assertEqual((before.level, before.scope, before.message),
                         (level, "fenra-s2s", message), d.log_text())
        self.assertEqual(d.stdout, b"")
        for line in d.lines:
            self.assertIsNotNone(line.level, "malformed log line %r" % line.raw)
        return d


class Help(unittest.TestCase):
    def test_usage_is_exact(self):
        self.assertEqual(len(USAGE), 1747)
        for args in (["--help"], ["-h"], ["--host", "x", "--help"], ["--port", "1", "-h"]):
            d = run(*args)
            self.assertEqual(d.returncode, 0, args)
            self.assertEqual(d.stdout, USAGE, args)
            self.assertEqual(d.lines, [], args)

    def test_port_before_help_is_never_bound(self):
        addr = t.loopback_address()
        with t.listener(addr) as busy:
            port = busy.getsockname()[1]
            d = run("--address", addr, "--port", str(port), "--help")
        self.assertEqual(d.returncode, 0, d.log_text())
        self.assertEqual(d.stdout, USAGE)

    def test_bad_value_before_help_fails_first(self):
        d = run("--port", "12x", "--help")
        self.assertEqual(d.returncode, 1)
        self.assertEqual(d.stdout, b"")

    def test_help_as_a_value_is_a_value(self):
        with start("--host", "--help", "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.lines[0].message,
                             "fenra-s2s starting host=--help port=5269 listen_fd=-1")
            self.assertEqual(d.stop(), 0)
        self.assertEqual(d.stdout, b"")


class MissingValues(Failure):
    def test_each_option_at_the_end(self):
        rows = [
            ("--host", "--host requires a value"),
            ("--address", "--address requires a value"),
            ("--bind", "--address requires a value"),
            ("--port", "--port requires a value"),
            ("--core-socket", "--core-socket requires a value"),
            ("--cert", "--cert requires a value"),
            ("--key", "--key requires a value"),
            ("--listen-fd", "--listen-fd requires a value"),
            ("--log-level", "--log-level requires a value"),
            ("--dns-server", "--dns-server requires a value"),
            ("--dns-trust-anchor", "--dns-trust-anchor requires a value"),
        ]
        for opt, message in rows:
            with self.subTest(opt=opt):
                d = self.expect_failure(["--host", "h", opt], message, "InvalidArgs")
                self.assertEqual(len(d.lines), 2, d.log_text())


class Values(Failure):
    def test_invalid_ports(self):
        for v in ["65536", "-1", "12x", "", "+", "_1", "1_", "0x10", " 1", "99999999999999999999"]:
            with self.subTest(port=v):
                self.expect_failure(["--port", v], "invalid port: " + v, "InvalidArgs")

    def test_invalid_dns_servers(self):
        for v in ["ns.example", "192.0.2.1@0", ""]:
            with self.subTest(server=v):
                self.expect_failure(["--dns-server", v], "invalid DNS server: " + v, "InvalidArgs")

    def test_invalid_fds(self):
        for v in ["", "x", "1x", "2147483648", "-2147483649", "_1"]:
            with self.subTest(fd=v):
                self.expect_failure(["--listen-fd", v], "invalid fd number: " + v, "InvalidArgs")

    def started_line(self, *args):
        with start(*args) as d:
            d.wait_for("fenra-s2s event loop started")
            line = d.lines[0].message
            self.assertEqual(d.stop(), 0)
        return line

    def test_accepted_ports_and_fds(self):
        rows = [
            (["--port", "-0"], "port=0 listen_fd=-1"),
            (["--port", "5_269"], "port=5269 listen_fd=-1"),
            (["--port", "+65535"], "port=65535 listen_fd=-1"),
            (["--port", "-0_0"], "port=0 listen_fd=-1"),
            (["--port", "0"], "port=0 listen_fd=-1"),
        ]
        for args, tail in rows:
            with self.subTest(args=args):
                line = self.started_line(*args, "--listen-fd", "-1")
                self.assertEqual(line, "fenra-s2s starting host=localhost " + tail)
        self.assertEqual(self.started_line("--listen-fd", "-1_000"),
                         "fenra-s2s starting host=localhost port=5269 listen_fd=-1000")
        self.assertEqual(self.started_line("--listen-fd", "+7", "--listen-fd", "-1"),
                         "fenra-s2s starting host=localhost port=5269 listen_fd=-1")

    def test_values_are_taken_whatever_they_look_like(self):
        line = self.started_line("--host", "--port", "--listen-fd", "-1")
        self.assertEqual(line, "fenra-s2s starting host=--port port=5269 listen_fd=-1")
        line = self.started_line("--host", "a", "--host", "b", "--listen-fd", "-1")
        self.assertEqual(line, "fenra-s2s starting host=b port=5269 listen_fd=-1")

    def test_unknown_arguments_are_warned_and_skipped(self):
        with start("--frobnicate", "--host", "x", "extra", "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual([(l.level, l.message) for l in d.lines[:3]], [
                ("warn", "unknown argument: --frobnicate"),
                ("warn", "unknown argument: extra"),
                ("info", "fenra-s2s starting host=x port=5269 listen_fd=-1"),
            ])
            self.assertEqual(d.stop(), 0)

    def test_config_is_ignored_with_its_value(self):
        with start("--config", "--host", "-c", "y", "--listen-fd", "-1", "--config") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.lines[0].message,
                             "fenra-s2s starting host=localhost port=5269 listen_fd=-1")
            self.assertEqual(d.find(level="warn", text="unknown"), [])
            self.assertEqual(d.stop(), 0)


# The resolver's line with the system's root key (dns-root-data), or the
# warning without one.
SYSTEM_ANCHOR_LINE = (
    ("info", "fenra-s2s", "DNSSEC validation from trust anchor /usr/share/dns/root.key")
    if os.access("/usr/share/dns/root.key", os.R_OK) else
    ("warn", "fenra-s2s", "no DNSSEC trust anchor could be read: every DNS answer counts as "
     "insecure, DANE is off (dialback still works)"))


class LogLevels(Failure):
    def test_each_level_keeps_its_lines(self):
        # A core socket path of 104 bytes ends the start after the warnings.
        start_lines = [
            ("warn", "unknown argument: bogus"),
            ("info", "fenra-s2s starting host=localhost port=5269 listen_fd=-1"),
            ("warn", "no --cert specified, inbound federation is disabled"),
            ("info", "S2S using inherited listener fd=-1 port=5269"),
        ]
        for level, kept in (("info", {"info", "warn"}), ("warn", {"warn"}), ("error", set())):
            with self.subTest(level=level):
                d = self.expect_failure(["bogus", "--log-level", level, "--listen-fd", "-1",
                                         "--core-socket", "/" + "s" * 103],
                                        "failed to start IPC server: error.PathTooLong",
                                        "PathTooLong")
                self.assertEqual([(l.level, l.message) for l in d.lines[:-2]],
                                 [x for x in start_lines if x[0] in kept])

    def test_trust_anchor_that_cannot_be_used(self):
        for anchor in (os.path.join(t.temp_dir(), "none.ds"), "/dev/null/x"):
            self.expect_failure(["--listen-fd", "-1", "--dns-trust-anchor", anchor],
                                "DNSSEC trust anchor %s cannot be used" % anchor, "NoTrustAnchor")

    def test_invalid_level(self):
        self.expect_failure(["--log-level", "debug"], "invalid log level: debug", "InvalidArgs")


class Tls(Failure):
    def setUp(self):
        self.c = certs()
        self.dir = t.temp_dir()

    def junk(self, name, content=b"not a PEM file\n"):
        p = os.path.join(self.dir, name)
        with open(p, "wb") as f:
            f.write(content)
        return p

    def test_cert_requires_key(self):
        d = self.expect_failure(["--cert", self.c["a"].chain, "--listen-fd", "-1"],
                                "--cert requires --key", "InvalidArgs")
        self.assertEqual([l.message for l in d.lines[:-2]],
                         ["fenra-s2s starting host=localhost port=5269 listen_fd=-1"])

    def test_bad_certificate_file(self):
        for cert in [self.junk("cert.pem"), os.path.join(self.dir, "missing.pem")]:
            with self.subTest(cert=cert):
                key = self.c["a"].key
                d = self.expect_failure(["--cert", cert, "--key", key, "--listen-fd", "-1"],
                                        "failed to initialize TLS context: error.CertLoadFailed",
                                        "InvalidArgs")
                self.assertEqual(d.lines[-3].message, "TLS configured: cert=%s key=%s" % (cert, key))

    def test_bad_key_file(self):
        for key in [self.junk("key.pem"), os.path.join(self.dir, "missing.key")]:
            with self.subTest(key=key):
                self.expect_failure(["--cert", self.c["a"].chain, "--key", key],
                                    "failed to initialize TLS context: error.KeyLoadFailed",
                                    "InvalidArgs")

    def test_key_of_another_certificate(self):
        self.expect_failure(["--cert", self.c["a"].chain, "--key", self.c["b"].key],
                            "failed to initialize TLS context: error.KeyMismatch", "InvalidArgs")

    def test_key_alone_fails_in_the_client_context(self):
        d = self.expect_failure(["--key", self.c["a"].key, "--listen-fd", "-1"],
                                "failed to initialize client TLS context: error.KeyMismatch",
                                "KeyMismatch")
        self.assertEqual(d.lines[-3].message, "no --cert specified, inbound federation is disabled")
        self.expect_failure(["--key", self.junk("k2.pem"), "--listen-fd", "-1"],
                            "failed to initialize client TLS context: error.KeyLoadFailed",
                            "KeyLoadFailed")

    def test_valid_certificate_starts(self):
        cert, key = self.c["a"].chain, self.c["a"].key
        with start("--cert", cert, "--key", key, "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual(d.lines[1].message, "TLS configured: cert=%s key=%s" % (cert, key))
            self.assertEqual(d.find("inbound federation is disabled"), [])
            self.assertEqual(d.stop(), 0)


class Listener(Failure):
    def test_address_in_use(self):
        addr = t.loopback_address()
        with t.listener(addr) as busy:
            port = str(busy.getsockname()[1])
            self.expect_failure(["--address", addr, "--port", port],
                                "failed to bind S2S listener: error.AddressInUse", "AddressInUse")

    def test_invalid_addresses(self):
        for a in ["1.2.3", "256.0.0.1", "1.2.3.4.5", "[::1]", "::1%lo", "1::2::3", "localhost", "",
                  "1..2.3", "1.2.3.4 ", "01234.1.1.1", "-1.0.0.0"]:
            with self.subTest(address=a):
                self.expect_failure(["--address", a, "--port", "0"],
                                    "failed to bind S2S listener: error.InvalidAddress",
                                    "InvalidAddress")
        self.expect_failure(["--bind", "x", "--port", "0"],
                            "failed to bind S2S listener: error.InvalidAddress", "InvalidAddress")

    def test_address_not_on_this_host(self):
        # bind() alone sends nothing; the address simply is not local.
        self.expect_failure(["--address", "192.0.2.1", "--port", "0"],
                            "failed to bind S2S listener: error.SystemResources",
                            "SystemResources")

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv") and shutil.which("unshare"),
                         "needs root, setpriv and unshare")
    def test_privileged_port_without_privilege(self):
        # A fresh network namespace keeps the default unprivileged port range.
        argv = ["unshare", "-n", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                "--inh-caps=-all", S2S, "--address", "0.0.0.0", "--port", "80"]
        d = t.run_to_exit(argv)
        if d.returncode != 1 and not d.find("failed to bind"):
            self.skipTest("this system lets anyone bind port 80: " + d.log_text())
        self.assertEqual(d.lines[-2].message, "failed to bind S2S listener: error.PermissionDenied")
        self.assertEqual(d.lines[-1].message, "PermissionDenied")

    def test_listener_on_given_address(self):
        addr = t.loopback_address()
        port = t.free_port(addr)
        with start("--address", addr, "--port", str(port)) as d:
            d.wait_for("fenra-s2s event loop started")
            d.wait_for("S2S listener on %s:%d" % (addr, port))
            with socket.create_connection((addr, port), timeout=10):
                pass
            self.assertEqual(d.stop(), 0)

    @unittest.skipUnless(shutil.which("unshare"), "needs unshare")
    def test_no_arguments_in_own_network_namespace(self):
        # The defaults bind 0.0.0.0:5269; a private network namespace keeps
        # that port to this test.
        probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("user namespaces unavailable")
        with t.Daemon(["unshare", "-rn", S2S]) as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual([(l.level, l.scope, l.message) for l in d.lines], [
                ("info", "fenra-s2s", "fenra-s2s starting host=localhost port=5269 listen_fd=null"),
                ("warn", "fenra-s2s", "no --cert specified, inbound federation is disabled"),
                ("info", "fenra-s2s", "S2S listener on 0.0.0.0:5269"),
                ("warn", "fenra-s2s", "no --core-socket specified, running without core IPC"),
                SYSTEM_ANCHOR_LINE,
                ("info", "fenra-s2s", "fenra-s2s event loop started"),
            ])
            self.assertEqual(d.stop(), 0)
            self.assertEqual(d.lines[-1].message, "fenra-s2s shutdown complete")


class CoreSocket(Failure):
    def path_of_length(self, n):
        base = t.temp_dir()
        fill = n - len(base) - 3  # "/" + directory name + "/s"
        self.assertGreater(fill, 0)
        d = os.path.join(base, "d" * fill)
        os.mkdir(d)
        p = os.path.join(d, "s")
        self.assertEqual(len(p), n)
        return p

    def test_path_of_104_bytes_is_too_long(self):
        p = self.path_of_length(104)
        self.expect_failure(["--core-socket", p, "--listen-fd", "-1"],
                            "failed to start IPC server: error.PathTooLong", "PathTooLong")
        self.assertFalse(os.path.exists(p))

    def test_path_of_103_bytes_works(self):
        p = self.path_of_length(103)
        with start("--core-socket", p, "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            with t.IpcClient(p):
                d.wait_for("core connected via IPC slot=0")
            self.assertEqual(d.stop(), 0)
        self.assertFalse(os.path.exists(p))

    def test_directory_missing(self):
        p = os.path.join(t.temp_dir(), "no", "such", "dir", "s2s.sock")
        d = run("--core-socket", p, "--listen-fd", "-1")
        self.assertEqual(d.returncode, 1)
        self.assertRegex(d.lines[-2].message, r"^failed to start IPC server: error\.\w+$")
        self.assertEqual("error." + d.lines[-1].message, d.lines[-2].message.split(": ")[1])

    def test_stale_socket_is_replaced(self):
        p = os.path.join(t.temp_dir(), "s2s.sock")
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(p)
        stale.close()  # the file stays behind, nobody listens
        with self.assertRaises(ConnectionRefusedError):
            t.IpcClient(p)
        with start("--core-socket", p, "--listen-fd", "-1") as d:
            d.wait_for("fenra-s2s event loop started")
            with t.IpcClient(p):
                d.wait_for("core connected via IPC slot=0")
            self.assertEqual(d.stop(), 0)

    def test_start_up_order_and_lines(self):
        c = certs()["a"]
        p = os.path.join(t.temp_dir(), "s2s.sock")
        addr = t.loopback_address()
        port = t.free_port(addr)
        anchor = os.path.join(t.temp_dir(), "anchor.ds")
        with open(anchor, "w") as f:
            f.write("example. IN DS 1 13 2 %s\n" % ("ab" * 32))
        with start("--host", "a.example", "--address", addr, "--port", str(port), "--cert",
                   c.chain, "--key", c.key, "--core-socket", p, "--dns-trust-anchor", anchor) as d:
            d.wait_for("fenra-s2s event loop started")
            self.assertEqual([(l.level, l.scope, l.message) for l in d.lines], [
                ("info", "fenra-s2s",
                 "fenra-s2s starting host=a.example port=%d listen_fd=null" % port),
                ("info", "fenra-s2s", "TLS configured: cert=%s key=%s" % (c.chain, c.key)),
                ("info", "fenra-s2s", "S2S listener on %s:%d" % (addr, port)),
                ("info", "ipc_server", "IPC server listening on " + p),
                ("info", "fenra-s2s", "IPC server on " + p),
                ("info", "fenra-s2s", "DNSSEC validation from trust anchor " + anchor),
                ("info", "fenra-s2s", "fenra-s2s event loop started"),
            ])
            self.assertEqual(d.stop(), 0)
        self.assertEqual(d.lines[-1].message, "fenra-s2s shutdown complete")
        self.assertFalse(os.path.exists(p))


if __name__ == "__main__":
    unittest.main(verbosity=2)
