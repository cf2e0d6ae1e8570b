"""What the fenra-auth-oidc integration tests share: configuration files, a
started daemon with its socket, and request helpers over the shared IPC
client of tests/lib."""

import os
import socket
import sys

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import fenra_testlib as t  # noqa: E402

AUTH = t.binary("fenra-auth-oidc")

SECRET = "client-secret-never-logged"
CA_FILE = "/nonexistent/ca-never-logged.pem"
INTROSPECTION = "https://127.0.0.1:9/introspect-never-logged"


def closed_port_url(path):
    """A loopback URL on which nothing listens: every provider call fails fast."""
    return "https://127.0.0.1:%d%s" % (t.free_port(), path)


def config_text(**keys):
    """An [oidc] section with every required key (overridable; None drops a
    key) and any further keys."""
    values = {
        "issuer": "https://idp.test",
        "client_id": "fenra-test",
        "client_secret": SECRET,
        "token_endpoint": closed_port_url("/token"),
        "jwks_uri": closed_port_url("/jwks"),
    }
    values.update(keys)
    lines = ["[oidc]"] + ["%s = %s" % (k, v) for k, v in values.items() if v is not None]
    return "\n".join(lines) + "\n"


def write(path, text):
    with open(path, "wb") as f:
        f.write(text.encode() if isinstance(text, str) else text)
    return path


def wait_signals_watched(daemon, timeout=t.DEFAULT_TIMEOUT):
    """Waits until the daemon has blocked SIGHUP, SIGINT and SIGTERM (it
    watches them through its event loop from then on), so that a signal sent
    afterwards is handled rather than ending the process. Linux /proc only."""
    want = (1 << (1 - 1)) | (1 << (2 - 1)) | (1 << (15 - 1))

    def blocked():
        try:
            with open("/proc/%d/status" % daemon.pid) as f:
                for line in f:
                    if line.startswith("SigBlk:"):
                        return int(line.split()[1], 16) & want == want
        except OSError:
            pass
        return False

    t.wait_until(blocked, timeout, "signals watched by pid %d" % daemon.pid)


def start(argv, listening, **kw):
    """Starts a daemon and waits until it listens on the given socket path
    and watches its signals."""
    d = t.Daemon(argv, **kw)
    d.wait_for("IPC server listening on " + listening, scope="ipc_server")
    wait_signals_watched(d)
    return d


class AuthDaemon:
    """fenra-auth-oidc started with a configuration file in a fresh directory,
    ready for requests and signals."""

    def __init__(self, config=None, args=(), socket_name="auth.sock", **keys):
        self.dir = t.temp_dir("fenra-auth-")
        self.socket = os.path.join(self.dir, socket_name)
        self.config = write(os.path.join(self.dir, "fenra.conf"),
                            config if config is not None else config_text(**keys))
        self.d = start([AUTH, "--config", self.config, "--socket", self.socket, *args],
                       self.socket)

    def client(self):
        return t.IpcClient(self.socket)

    def stop(self):
        return self.d.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.d.kill()
        return False


# Rate limits that many logins of one test never reach.
NO_RATE_LIMITS = dict(rate_max_per_account="1000", rate_max_per_ip="1000")


def provider_daemon(provider, **keys):
    """fenra-auth-oidc configured for a running test provider (idp.TestIdp)
    and its first client, with keys replaced or added."""
    settings = dict(issuer=provider.issuer, client_id=provider.client_id,
                    client_secret=provider.client_secret, token_endpoint=provider.token_endpoint,
                    jwks_uri=provider.jwks_uri, ca_file=provider.ca_file)
    settings.update(keys)
    return AuthDaemon(**settings)


def secrets_in_log(daemon, secrets):
    """The secrets that appear in the daemon's log (none, rightly)."""
    log = daemon.log_text()
    return [s for s in secrets if s in log]


def request(client, mechanism, initial=b"", address=b"", account=b"", conn_id=1):
    """Sends one AuthRequest and returns the answer as (type, fields)."""
    client.send(t.auth_request(conn_id, mechanism, initial, address=address, account=account))
    return client.recv_frame()


def plain(user, password, authz=b""):
    b = (lambda v: v.encode() if isinstance(v, str) else v)
    return b(authz) + b"\0" + b(user) + b"\0" + b(password)


def no_answer(client, wait=0.3):
    """True when nothing arrives within wait seconds."""
    try:
        client.recv_frame(timeout=wait)
    except socket.timeout:
        return True
    return False
