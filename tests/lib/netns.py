"""A private network for a test: its own network and mount namespaces, a DNS
server of its own on 127.0.0.53, and a resolv.conf that names it.

Nothing a test does in there can reach another host or this machine's
nameserver: the new network namespace has only its own loopback interface.

Use from a test script (Python standard library only):

    import netns, testca

    netns.enter()   # first thing: re-runs this script inside fresh namespaces

    zone = netns.Zone()
    zone.srv("_xmpp-server._tcp.b.test", "xmpp.b.test", 5269, priority=0, weight=0)
    zone.a("xmpp.b.test", "127.0.0.2")
    zone.tlsa(5269, "xmpp.b.test", 3, 1, 1, data)       # data: bytes
    with netns.DnsServer(zone, workdir) as dns:
        ...  # start daemons, peers, probes; every libc lookup asks dnsmasq

How it works, and why this way:

- enter() re-executes the running script (same interpreter, same arguments,
  same environment plus FENRA_NETNS=1) under
  `unshare --net --mount --propagation private`, with `--map-root-user` added
  when not running as root, and exits with the child's status. The child
  returns from enter() and runs the test. When the child ends, its
  namespaces and every process left in them go away with it, even after a
  crash; nothing named is left behind on the machine (unlike `ip netns add`).
  As real root no user namespace is made, so daemons that change their user
  (Prosody, ejabberd) behave as on a normal host.
- In the child, enter() brings lo up (all of 127.0.0.0/8 is local on it, so
  127.0.0.1, 127.0.0.2, ... can be bound without further set-up; see
  add_address for an explicit address), then bind-mounts over /etc/resolv.conf
  a file naming only 127.0.0.53 and over /etc/hosts a file naming only
  localhost. The mounts are private to the namespace.
- DnsServer runs dnsmasq in the foreground (--no-daemon, which also keeps it
  from changing its user and group: that fails in a user namespace) with no
  configuration file, no upstream servers and no /etc/hosts, listening only
  on 127.0.0.53:53. Names under the zone's local domains ("test" by default)
  that have no record get NXDOMAIN; other names are refused. It waits until
  dnsmasq answers a query and stops it on exit.
- query(name, type) asks it directly and returns the answer records in the
  order of the reply (to compare with what a program under test saw).

DnsServer refuses to start outside a namespace made by enter().
"""

import atexit
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

__all__ = ["enter", "in_namespace", "add_address", "Zone", "DnsServer", "query", "NAMESERVER"]

NAMESERVER = "127.0.0.53"
_MARK = "FENRA_NETNS"
_RESOLV = "nameserver %s\noptions timeout:2 attempts:2\n" % NAMESERVER
_HOSTS = "127.0.0.1\tlocalhost\n::1\tlocalhost\n"


def in_namespace():
    """True inside the namespaces made by enter()."""
    return os.environ.get(_MARK) == "1"


def enter():
    """Runs the calling script inside fresh network and mount namespaces.

    Outside: re-executes sys.argv there and exits with its status (never
    returns). Inside: sets up lo, resolv.conf and hosts, then returns."""
    if in_namespace():
        _setup()
        return
    for tool in ("unshare", "ip", "mount", "dnsmasq"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            print("netns: %s is not installed" % tool, file=sys.stderr)
            sys.exit(1)
    cmd = ["unshare", "--net", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        cmd.append("--map-root-user")
    cmd += ["--", sys.executable] + sys.argv
    env = dict(os.environ)
    env[_MARK] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    sys.exit(subprocess.call(cmd, env=env))


def _run(*args):
    p = subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), p.stdout.decode(errors="replace")))


_setup_done = False


def _setup():
    global _setup_done
    if _setup_done:
        return
    _run("ip", "link", "set", "lo", "up")
    d = tempfile.mkdtemp(prefix="fenra-netns-", dir="/tmp")
    atexit.register(shutil.rmtree, d, True)
    for name, text in (("resolv.conf", _RESOLV), ("hosts", _HOSTS)):
        path = os.path.join(d, name)
        with open(path, "w") as f:
            f.write(text)
        _run("mount", "--bind", path, "/etc/" + name)
    _setup_done = True


def add_address(address, prefix=32):
    """Adds an IPv4 address to lo (for addresses outside 127.0.0.0/8, or to
    make one visible to tools that list interface addresses)."""
    _require_namespace()
    _run("ip", "addr", "add", "%s/%d" % (address, prefix), "dev", "lo")


def _require_namespace():
    if not in_namespace():
        raise RuntimeError("netns: call netns.enter() first; refusing to touch this machine's network")


class Zone:
    """The records a DnsServer serves. Names are written without a trailing
    dot; every record is in class IN."""

    def __init__(self, local_domains=("test",)):
        self.local_domains = list(local_domains)
        self._options = []

    def srv(self, name, target, port, priority=0, weight=0):
        """An SRV record: name like "_xmpp-server._tcp.b.test"."""
        self._options.append("--srv-host=%s,%s,%d,%d,%d" % (name, target, port, priority, weight))
        return self

    def srv_not_offered(self, name):
        """The SRV record that says the service is not offered (target ".")."""
        self._options.append("--srv-host=%s" % name)
        return self

    def a(self, name, *addresses):
        """A records for name."""
        self._options.append("--host-record=%s,%s" % (name, ",".join(addresses)))
        return self

    def tlsa(self, port, host, usage, selector, matching_type, data):
        """A TLSA record at _PORT._tcp.HOST with the given association data."""
        return self.rr("_%d._tcp.%s" % (port, host), 52,
                       bytes([usage, selector, matching_type]) + bytes(data))

    def rr(self, name, rr_type, rdata):
        """Any record given by its type number and raw record data."""
        self._options.append("--dns-rr=%s,%d,%s" % (name, rr_type, bytes(rdata).hex()))
        return self

    def options(self):
        out = list(self._options)
        out += ["--local=/%s/" % d for d in self.local_domains]
        return out


class DnsServer:
    """dnsmasq serving a Zone on 127.0.0.53 inside the test's namespace.

    workdir receives dnsmasq.log (its standard error; with log_queries=True
    each query is logged too). Raises RuntimeError when dnsmasq exits or does
    not answer within timeout seconds."""

    def __init__(self, zone, workdir, log_queries=False, timeout=15.0):
        self.zone = zone
        self.workdir = workdir
        self.log_queries = log_queries
        self.timeout = timeout
        self.proc = None
        self.log_path = os.path.join(workdir, "dnsmasq.log")

    def __enter__(self):
        _require_namespace()
        cmd = ["dnsmasq", "--no-daemon", "--conf-file=/dev/null",
               "--listen-address=" + NAMESERVER, "--bind-interfaces", "--port=53",
               "--no-resolv", "--no-hosts", "--no-poll"]
        if self.log_queries:
            cmd.append("--log-queries")
        cmd += self.zone.options()
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=subprocess.STDOUT)
        try:
            self._wait_ready()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        self._log.close()
        return False

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def _wait_ready(self):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("dnsmasq exited with %d:\n%s" % (self.proc.returncode, self.log()))
            if query_answers(NAMESERVER, "ready.invalid"):
                return
            time.sleep(0.05)
        raise RuntimeError("dnsmasq did not answer within %.0f s:\n%s" % (self.timeout, self.log()))


def _query(server, name, qtype, timeout):
    ident = int.from_bytes(os.urandom(2), "big")
    qname = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    packet = struct.pack(">HHHHHH", ident, 0x0100, 1, 0, 0, 0) + qname + struct.pack(">HH", qtype, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(packet, (server, 53))
        reply, _ = s.recvfrom(65535)
    if len(reply) < 12 or reply[:2] != packet[:2]:
        raise OSError("no matching reply")
    return reply


def query_answers(server, name, qtype=1, timeout=0.5):
    """Sends one UDP query and returns True when any reply comes back."""
    try:
        _query(server, name, qtype, timeout)
    except OSError:
        return False
    return True


def _skip_name(msg, pos):
    while True:
        n = msg[pos]
        if n == 0:
            return pos + 1
        if n >= 0xC0:
            return pos + 2
        pos += 1 + n


def query(name, qtype, server=NAMESERVER, timeout=2.0):
    """The answer records of one query, in the order of the reply, as a list
    of (type, record data bytes). A reply with an error code gives []."""
    msg = _query(server, name, qtype, timeout)
    qdcount, ancount = struct.unpack(">HH", msg[4:8])
    pos = 12
    for _ in range(qdcount):
        pos = _skip_name(msg, pos) + 4
    out = []
    for _ in range(ancount):
        pos = _skip_name(msg, pos)
        rtype, _, _, rdlength = struct.unpack(">HHIH", msg[pos:pos + 10])
        pos += 10
        out.append((rtype, msg[pos:pos + rdlength]))
        pos += rdlength
    return out
