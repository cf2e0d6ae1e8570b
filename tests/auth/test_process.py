"""fenra-auth-oidc as a process: the command line, the configuration file and
its read errors, the start-up lines (never a secret), the socket path limits,
the signals and the orderly shut-down. Every start-up failure ends with its
own line, then "error(default): NAME", and exit status 1."""

import os
import shutil
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import authlib as a  # noqa: E402
from authlib import t  # noqa: E402

USAGE = (
    b"Usage: fenra-auth-oidc [OPTIONS]\n"
    b"\n"
    b"Options:\n"
    b"  --config PATH     Config file path (default: /usr/local/etc/fenra/fenra.conf)\n"
    b"  --socket PATH     IPC socket path (default: /var/run/fenra-auth/auth.sock)\n"
    b"  --log-level LEVEL error, warn or info (default: info)\n"
    b"  --help, -h        Show this help\n"
    b"\n"
    b"Required config [oidc] section:\n"
    b"  issuer            OIDC issuer URL\n"
    b"  client_id         OAuth2 client ID\n"
    b"  client_secret     OAuth2 client secret\n"
    b"  token_endpoint    Token endpoint URL (for ROPC)\n"
    b"  jwks_uri          JWKS endpoint URL\n"
    b"\n"
    b"Optional config [oidc] section:\n"
    b"  ca_file           CA bundle path (default: system)\n"
    b"  socket            Override IPC socket path\n"
    b"  log_level         error, warn or info (--log-level wins)\n"
    b"  rate_max_per_account  Rate limit per account (default: 5)\n"
    b"  rate_max_per_ip       Rate limit per IP (default: 20)\n"
)


def run(*args, **kw):
    return t.run_to_exit([a.AUTH, *args], **kw)


def triples(d):
    return [(l.level, l.scope, l.message) for l in d.lines]


class CommandLine(unittest.TestCase):
    def test_help_in_any_position(self):
        for args in (["--help"], ["-h"], ["--help", "--config", "/does/not/exist"],
                     ["--config", "/does/not/exist", "--help"], ["--bogus", "-h", "--socket"]):
            d = run(*args)
            self.assertEqual(d.returncode, 0, args)
            self.assertEqual(d.stdout, USAGE, args)
            # Only the arguments before --help are looked at.
            expected = [("warn", "fenra_auth_oidc", "unknown argument: --bogus")] \
                if args[0] == "--bogus" else []
            self.assertEqual(triples(d), expected, args)

    def test_missing_values(self):
        for args, line in ((["--config"], "--config requires a value"),
                           (["-c"], "--config requires a value"),
                           (["--socket"], "--socket requires a value"),
                           (["--socket", "/s", "--config"], "--config requires a value")):
            d = run(*args)
            self.assertEqual(d.returncode, 1, args)
            self.assertEqual(triples(d), [("error", "fenra_auth_oidc", line),
                                          ("error", "default", "InvalidArgs")], args)
            self.assertEqual(d.stdout, b"")

    def test_short_config_option_and_unknown_arguments(self):
        dir_ = t.temp_dir("fenra-auth-")
        conf = a.write(os.path.join(dir_, "c.conf"), a.config_text())
        sock = os.path.join(dir_, "s.sock")
        d = a.start([a.AUTH, "--verbose", "-c", conf, "--socket", sock, "extra"], sock)
        try:
            self.assertEqual(triples(d)[:3], [
                ("warn", "fenra_auth_oidc", "unknown argument: --verbose"),
                ("warn", "fenra_auth_oidc", "unknown argument: extra"),
                ("info", "fenra_auth_oidc", "fenra-auth-oidc starting"),
            ])
            self.assertEqual(d.stop(), 0)
        finally:
            d.kill()


class LogLevels(unittest.TestCase):
    def test_command_line_wins_over_file(self):
        # A socket path of 104 bytes ends the start right after the start-up lines.
        dir_ = t.temp_dir("fenra-auth-")
        rows = [([], None, True), (["--log-level", "warn"], None, False),
                ([], "error", False), (["--log-level", "info"], "error", True),
                (["--log-level", "error"], "info", False)]
        for args, in_file, info in rows:
            with self.subTest(args=args, in_file=in_file):
                conf = a.write(os.path.join(dir_, "c.conf"), a.config_text(log_level=in_file))
                d = run("--config", conf, "--socket", "/" + "s" * 103, *args)
                self.assertEqual(d.returncode, 1, d.log_text())
                self.assertEqual(bool(d.find("fenra-auth-oidc starting", level="info")), info)
                self.assertEqual(triples(d)[-1], ("error", "default", "PathTooLong"))

    def test_invalid_levels(self):
        dir_ = t.temp_dir("fenra-auth-")
        conf = a.write(os.path.join(dir_, "c.conf"), a.config_text(log_level="loud"))
        for args, line in ((["--log-level", "Info"], "invalid log level: Info"),
                           ([], "invalid config: [oidc] log_level = loud")):
            d = run("--config", conf, *args)
            self.assertEqual(d.returncode, 1, args)
            self.assertEqual(triples(d), [("error", "fenra_auth_oidc", line),
                                          ("error", "default", "InvalidArgs")], args)


class ConfigErrors(unittest.TestCase):
    def expect_read_error(self, path, error, **kw):
        d = run("--config", path, "--socket", "/tmp/unused.sock", **kw)
        self.assertEqual(d.returncode, 1, d.log_text())
        self.assertEqual(triples(d), [
            ("error", "fenra_auth_oidc",
             "failed to read config file '%s': error.%s" % (path, error)),
            ("error", "default", "InvalidArgs"),
        ])

    def test_read_errors(self):
        dir_ = t.temp_dir("fenra-auth-")
        self.expect_read_error(os.path.join(dir_, "missing.conf"), "FileNotFound")
        self.expect_read_error(dir_, "IsDir")
        self.expect_read_error("/" + "x" * 1023, "NameTooLong")

        exact = a.config_text()
        exact += "filler = " + "y" * (1024 * 1024 - len(exact) - 10) + "\n"
        self.assertEqual(len(exact), 1024 * 1024)
        big = a.write(os.path.join(dir_, "big.conf"), exact + "z")
        self.expect_read_error(big, "StreamTooLong")

        # Exactly 1 MiB is read.
        ok = a.write(os.path.join(dir_, "exact.conf"), exact)
        sock = os.path.join(dir_, "exact.sock")
        d = a.start([a.AUTH, "--config", ok, "--socket", sock], sock)
        try:
            self.assertEqual(d.stop(), 0)
        finally:
            d.kill()

    def test_relative_path(self):
        dir_ = t.temp_dir("fenra-auth-")
        a.write(os.path.join(dir_, "rel.conf"), a.config_text(socket=dir_ + "/r.sock"))
        d = a.start([a.AUTH, "--config", "rel.conf"], dir_ + "/r.sock", cwd=dir_)
        try:
            self.assertEqual(d.stop(), 0)
        finally:
            d.kill()

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs root to run the daemon as another user")
    def test_access_denied(self):
        dir_ = t.temp_dir("fenra-auth-")
        os.chmod(dir_, 0o755)
        path = a.write(os.path.join(dir_, "secret.conf"), a.config_text())
        os.chmod(path, 0o600)
        d = t.run_to_exit(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           a.AUTH, "--config", path, "--socket", dir_ + "/x.sock"])
        self.assertEqual(d.returncode, 1, d.log_text())
        self.assertEqual(triples(d), [
            ("error", "fenra_auth_oidc",
             "failed to read config file '%s': error.AccessDenied" % path),
            ("error", "default", "InvalidArgs"),
        ])

    def test_missing_required_keys(self):
        dir_ = t.temp_dir("fenra-auth-")
        for key in ("issuer", "client_id", "client_secret", "token_endpoint", "jwks_uri"):
            # Everything after the missing key is absent too: the first one is named.
            conf = a.write(os.path.join(dir_, key + ".conf"), a.config_text(**{key: None}))
            d = run("--config", conf, "--socket", dir_ + "/x.sock")
            self.assertEqual(d.returncode, 1)
            self.assertEqual(triples(d), [
                ("error", "fenra_auth_oidc", "missing required config: [oidc] " + key),
                ("error", "default", "InvalidArgs"),
            ])
        # Keys of another section, or in capitals, do not count.
        conf = a.write(os.path.join(dir_, "other.conf"),
                       a.config_text().replace("[oidc]", "[OIDC]"))
        d = run("--config", conf, "--socket", dir_ + "/x.sock")
        self.assertEqual(triples(d)[0][2], "missing required config: [oidc] issuer")
        self.assertFalse(os.path.exists(dir_ + "/x.sock"))


class StartUp(unittest.TestCase):
    def test_lines_in_order_without_secrets(self):
        with a.AuthDaemon(ca_file=a.CA_FILE, introspection_endpoint=a.INTROSPECTION,
                          user_domain="chat.example", rate_max_per_ip="1_000") as d:
            self.assertEqual(d.stop(), 0)
            with open(d.config) as f:
                keys = dict(line.split(" = ", 1) for line in f.read().splitlines()[1:])
            token, jwks = keys["token_endpoint"], keys["jwks_uri"]
            self.assertEqual(triples(d.d), [
                ("info", "fenra_auth_oidc", "fenra-auth-oidc starting"),
                ("info", "fenra_auth_oidc", "  issuer: https://idp.test"),
                ("info", "fenra_auth_oidc", "  client_id: fenra-test"),
                ("info", "fenra_auth_oidc", "  token_endpoint: " + token),
                ("info", "fenra_auth_oidc", "  jwks_uri: " + jwks),
                ("info", "fenra_auth_oidc", "  user_domain: chat.example"),
                ("info", "fenra_auth_oidc", "  socket: " + d.socket),
                ("info", "ipc_server", "IPC server listening on " + d.socket),
                ("info", "fenra_auth_oidc", "received signal 15, shutting down"),
                ("info", "fenra_auth_oidc", "fenra-auth-oidc shutdown complete"),
            ])
            log = d.d.log_text()
            for secret in (a.SECRET, a.CA_FILE, a.INTROSPECTION, "ca-never-logged",
                           "introspect-never-logged"):
                self.assertNotIn(secret, log)

    def test_odd_but_valid_file(self):
        dir_ = t.temp_dir("fenra-auth-")
        sock = dir_ + "/odd.sock"
        text = ("; comment = no\r\n"
                "  [oidc]  \r\n"
                "issuer=https://first\r\n"
                "client_id\t =\t a # b\r\r\n"
                "[ oidc ]\r\n"
                "issuer = https://wrong-section\r\n"
                "[other]\r\n"
                "client_secret = x\r\n"
                "[oidc\r\n"
                "jwks_uri = https://still-in-other\r\n"
                "= ignored\r\n"
                "[oidc] trailing words\r\n"
                "client_secret =\r\n"
                "token_endpoint = https://127.0.0.1:9/t\r\n"
                "jwks_uri = https://127.0.0.1:9/j\r\n"
                "socket = " + sock + "\r\n"
                "issuer = https://second")
        conf = a.write(os.path.join(dir_, "odd.conf"), text)
        d = a.start([a.AUTH, "--config", conf, "--socket", dir_ + "/cli.sock"], sock)
        try:
            self.assertEqual([l.message for l in d.lines[:7]], [
                "fenra-auth-oidc starting",
                "  issuer: https://second",
                "  client_id: a # b",
                "  token_endpoint: https://127.0.0.1:9/t",
                "  jwks_uri: https://127.0.0.1:9/j",
                "  socket: " + sock,
                "no user_domain configured: user names that carry a domain are refused",
            ])
            self.assertEqual(d.stop(), 0)
        finally:
            d.kill()

    def test_socket_path_limits(self):
        dir_ = t.temp_dir("fenra-auth-")
        conf = a.write(os.path.join(dir_, "c.conf"), a.config_text())
        name103 = os.path.join(dir_, "s" * (103 - len(dir_) - 1))
        self.assertEqual(len(name103), 103)
        d = a.start([a.AUTH, "--config", conf, "--socket", name103], name103)
        try:
            self.assertEqual(d.stop(), 0)
            self.assertFalse(os.path.exists(name103))
        finally:
            d.kill()

        d = run("--config", conf, "--socket", name103 + "x")
        self.assertEqual(d.returncode, 1)
        self.assertEqual(triples(d)[-1], ("error", "default", "PathTooLong"))
        self.assertNotIn("IPC server listening", d.log_text())

        d = run("--config", conf, "--socket", dir_ + "/no/such/dir.sock")
        self.assertEqual(d.returncode, 1)
        self.assertEqual(triples(d)[-1], ("error", "default", "FileNotFound"))

    def test_socket_key_wins_and_stale_file_is_replaced(self):
        dir_ = t.temp_dir("fenra-auth-")
        sock = dir_ + "/from-config.sock"
        a.write(sock, "stale")
        conf = a.write(os.path.join(dir_, "c.conf"), a.config_text(socket=sock))
        d = a.start([a.AUTH, "--config", conf, "--socket", dir_ + "/cli.sock"], sock)
        try:
            self.assertFalse(os.path.exists(dir_ + "/cli.sock"))
            with t.IpcClient(sock) as c:
                c.send(t.auth_response(5))
                self.assertEqual(c.recv_frame(), (4, [5, b"not-authorized"]))
            self.assertEqual(d.stop(), 0)
        finally:
            d.kill()


class Signals(unittest.TestCase):
    def test_sighup_changes_nothing(self):
        with a.AuthDaemon() as d:
            with d.client() as c:
                d.d.send_signal(signal.SIGHUP)
                d.d.wait_for("received SIGHUP (no-op for OIDC backend)", level="info",
                             scope="fenra_auth_oidc")
                c.send(t.auth_response(9))
                self.assertEqual(c.recv_frame(), (4, [9, b"not-authorized"]))
            self.assertEqual(d.stop(), 0)

    def test_sigterm_and_sigint_shut_down_in_order(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with a.AuthDaemon() as d:
                c = d.client()
                c.send(t.auth_response(1))
                c.recv_frame()
                self.assertEqual(d.d.stop(sig), 0)
                msgs = [l.message for l in d.d.lines]
                self.assertEqual(msgs[-2:], ["received signal %d, shutting down" % sig,
                                             "fenra-auth-oidc shutdown complete"])
                self.assertFalse(os.path.exists(d.socket))
                self.assertTrue(c.wait_closed(5))
                c.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
