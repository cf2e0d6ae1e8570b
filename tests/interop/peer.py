"""What the two peer servers share: waiting for their ports, their logs, and
use as context managers. Prosody and Ejabberd subclass PeerServer and give
start_process(), stop(), log() and wire_log()."""

import socket
import time


def accepts(address, port):
    """True when address:port accepts a TCP connection now."""
    try:
        with socket.create_connection((address, port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_port(address, port, timeout=60.0, alive=None):
    """Waits until address:port accepts a TCP connection; alive() may say
    that the server has died meanwhile."""
    deadline = time.monotonic() + timeout
    while not accepts(address, port):
        if alive is not None and not alive():
            raise RuntimeError("server for %s:%d exited" % (address, port))
        if time.monotonic() > deadline:
            raise RuntimeError("nothing listens on %s:%d after %.0f s" % (address, port, timeout))
        time.sleep(0.1)


class PeerServer:
    """A peer serving one domain on one address: c2s_port for its users,
    s2s_port for servers, direct_tls_port (or None) for servers with TLS
    from the first byte."""

    name = "peer"

    def __init__(self, domain, address, c2s_port, s2s_port, direct_tls_port):
        self.domain = domain
        self.address = address
        self.c2s_port = c2s_port
        self.s2s_port = s2s_port
        self.direct_tls_port = direct_tls_port
        self.proc = None

    def ports(self):
        return [self.c2s_port, self.s2s_port] + (
            [self.direct_tls_port] if self.direct_tls_port else [])

    def start(self, timeout=90.0):
        """Starts the server and waits until every port listens."""
        self.start_process()
        deadline = time.monotonic() + timeout
        while not all(accepts(self.address, p) for p in self.ports()):
            if self.proc.poll() is not None:
                raise RuntimeError("%s exited with %d:\n%s" % (self.name, self.proc.returncode,
                                                             self.log_tail()))
            if time.monotonic() > deadline:
                raise RuntimeError("%s did not listen within %.0f s:\n%s"
                                   % (self.name, timeout, self.log_tail()))
            time.sleep(0.1)
        return self

    def log_tail(self, lines=80):
        return "\n".join(self.log().splitlines()[-lines:])

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return ""
