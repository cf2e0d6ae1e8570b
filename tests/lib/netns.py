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

For DNSSEC, Nsd serves real zones signed at test time:

    zones = netns.dnssec_zones()    # test. (signed, the trust anchor),
                                    # insecure.test. (unsigned, no DS in test.),
                                    # bogus.test. (signed, DS in test., signatures broken)
    zones["test"].srv("_xmpp-server._tcp.a.test", "xmpp.a.test", 5269)
    zones["insecure.test"].tlsa(5269, "xmpp.insecure.test", 3, 1, 1, data)
    with netns.Nsd(zones, workdir) as nsd:
        ...  # a validating resolver asks 127.0.0.54 or ::1, nsd.trust_anchor its DS

- Keys are made with ldns-keygen (ECDSA P-256) in the work directory, every
  run anew; ldns-signzone signs with NSEC3. Children are signed first so that
  the DS records of signed children go into the parent before it is signed.
  A "broken" zone has, after signing, one byte changed in every signature
  over its data (DNSKEY signatures stay intact): its records are bogus;
  broken=("TLSA",) breaks only the signatures over records of those types.
- NSD runs in the foreground without root, chroot or user change, with every
  file in the work directory, on NSD_ADDRESSES port 53; it is an
  authoritative server that a validating resolver uses as its forwarder.
- SilentPort(address, port) is a TCP port that neither accepts nor refuses
  (a host that does not answer): a listener whose one-entry accept queue is
  kept full by a connection of its own, so the kernel drops every SYN.
- SignedDns(zones, workdir) puts dnsmasq on NAMESERVER in front of Nsd:
  queries under test. go on to NSD and come back with their signatures, so
  a validating resolver that asks the nameserver of resolv.conf, given the
  DS of test. as its anchor, finds test. secure. Forwards of its own (a slow
  zone) can be added.
- unsigned_anchor() is a trust anchor for a name outside every test zone. A
  validating resolver needs one in the dnsmasq world: with the system's root
  key it could prove nothing under test. and every answer would be bogus;
  with this one the world's zones are insecure, like unsigned zones on the
  Internet.
- StalledServer binds UDP and TCP port 53 on STALLED_ADDRESS, reads what
  comes and never answers. For one slow zone among healthy ones, let the
  DnsServer pass it on: Zone().forward("slow.test", STALLED_ADDRESS).
"""

import atexit
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

__all__ = ["enter", "in_namespace", "add_address", "Zone", "DnsServer", "query", "NAMESERVER",
           "AuthZone", "dnssec_zones", "Nsd", "StalledServer", "NSD_ADDRESSES", "STALLED_ADDRESS",
           "SilentPort", "SignedDns", "unsigned_anchor"]

NAMESERVER = "127.0.0.53"
_MARK = "FENRA_NETNS"
_RESOLV = "nameserver %s\noptions timeout:2 attempts:2\n" % NAMESERVER
_HOSTS = "127.0.0.1\tlocalhost\n::1\tlocalhost\n"


def in_namespace():
    """True inside the namespaces made by enter()."""
    return os.environ.get(_MARK) == "1"


def enter(pid=False):
    """Runs the calling script inside fresh network and mount namespaces
    (and a PID namespace with pid=True: when the script ends, however it
    ends, every process left in there ends too).

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
    if pid:
        cmd += ["--pid", "--kill-child", "--mount-proc"]
    if os.geteuid() != 0:
        cmd.append("--map-root-user")
    cmd += ["--", sys.executable] + sys.argv
    env = dict(os.environ)
    env[_MARK] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    if pid:
        # unshare takes this process's place, so that whoever ends the test
        # (CTest at its time-out) ends unshare and with it the namespaces.
        os.execvpe(cmd[0], cmd, env)
    sys.exit(subprocess.call(cmd, env=env))


def _run(*args):
    p = subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), p.stdout.decode(errors="replace")))


_setup_done = False
_setup_dir = None


def _setup():
    global _setup_done, _setup_dir
    if _setup_done:
        return
    _run("ip", "link", "set", "lo", "up")
    d = tempfile.mkdtemp(prefix="fenra-netns-", dir="/tmp")
    _setup_dir = d
    atexit.register(shutil.rmtree, d, True)
    for name, text in (("resolv.conf", _RESOLV), ("hosts", _HOSTS)):
        path = os.path.join(d, name)
        with open(path, "w") as f:
            f.write(text)
        _run("mount", "--bind", path, "/etc/" + name)
    _setup_done = True


def unsigned_anchor():
    """The path of a trust anchor (a DS record) for anchor.invalid., a name
    no test zone is under (see the module's description)."""
    _require_namespace()
    path = os.path.join(_setup_dir, "unsigned.ds")
    if not os.path.exists(path):
        with open(path, "w") as f:
            f.write("anchor.invalid. IN DS 1 13 2 %s\n" % ("ab" * 32))
    return path


def add_address(address, prefix=32):
    """Adds an IPv4 address to lo (for addresses outside 127.0.0.0/8, or to
    make one visible to tools that list interface addresses)."""
    _require_namespace()
    _run("ip", "addr", "add", "%s/%d" % (address, prefix), "dev", "lo")


def _stop(proc):
    """Terminates PROC (if still running) and waits for it."""
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


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

    def forward(self, domain, server):
        """Queries for names under DOMAIN go on to SERVER (an IPv4 address)."""
        self._options.append("--server=/%s/%s" % (domain, server))
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
        _stop(self.proc)
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


NSD_ADDRESSES = ("127.0.0.54", "::1")
STALLED_ADDRESS = "127.0.0.55"


class AuthZone:
    """The records of one zone that Nsd serves, as zone-file lines. Names
    are written without a trailing dot."""

    def __init__(self, origin, signed=True, broken=False):
        self.origin = origin
        self.signed = signed
        self.broken = broken
        self.lines = []
        self.children = []

    def rr(self, name, rr_type, rdata):
        self.lines.append("%s. 300 IN %s %s" % (name, rr_type, rdata))
        return self

    def srv(self, name, target, port, priority=0, weight=0):
        return self.rr(name, "SRV", "%d %d %d %s." % (priority, weight, port, target))

    def srv_not_offered(self, name):
        """The SRV record that says the service is not offered (target ".")."""
        return self.rr(name, "SRV", "0 0 0 .")

    def a(self, name, *addresses):
        for address in addresses:
            self.rr(name, "A", address)
        return self

    def aaaa(self, name, *addresses):
        for address in addresses:
            self.rr(name, "AAAA", address)
        return self

    def tlsa(self, port, host, usage, selector, matching_type, data):
        return self.rr("_%d._tcp.%s" % (port, host), "TLSA",
                       "%d %d %d %s" % (usage, selector, matching_type, bytes(data).hex()))

    def delegate(self, child):
        """Makes CHILD a zone delegated from this one (with its DS when signed)."""
        self.children.append(child)
        return self

    def text(self):
        head = ["$ORIGIN %s." % self.origin, "$TTL 300",
                "@ IN SOA ns.test. hostmaster.test. 1 3600 900 604800 300", "@ IN NS ns.test."]
        if self.origin == "test":
            head += ["ns.test. IN A %s" % NSD_ADDRESSES[0],
                     "ns.test. IN AAAA %s" % NSD_ADDRESSES[1]]
        return "\n".join(head + self.lines) + "\n"


def dnssec_zones():
    """The standard world: test. signed (the trust anchor), insecure.test.
    unsigned and bogus.test. with broken signatures, both delegated from it."""
    zones = {"test": AuthZone("test"), "insecure.test": AuthZone("insecure.test", signed=False),
             "bogus.test": AuthZone("bogus.test", broken=True)}
    zones["test"].delegate(zones["insecure.test"]).delegate(zones["bogus.test"])
    return zones


def _break_signatures(text, types=None):
    """One byte changed in every signature over data (over TYPES only when
    given)."""
    out = []
    for line in text.splitlines():
        fields = line.split()
        if len(fields) > 5 and fields[3] == "RRSIG" and fields[4] != "DNSKEY" and \
                (types is None or fields[4] in types):
            sig = fields[-1]
            i = len(sig) // 2
            fields[-1] = sig[:i] + ("B" if sig[i] == "A" else "A") + sig[i + 1:]
            line = "\t".join(fields)
        out.append(line)
    return "\n".join(out) + "\n"


class Nsd:
    """NSD serving ZONES (a dict of AuthZone, see dnssec_zones) inside the
    test's namespace. trust_anchor is the DS file of the zone "test".
    Raises RuntimeError when NSD exits or does not answer within timeout."""

    def __init__(self, zones, workdir, timeout=15.0):
        self.zones = zones
        self.dir = os.path.join(workdir, "nsd")
        self.timeout = timeout
        self.proc = None
        self.trust_anchor = None
        self.log_path = os.path.join(self.dir, "nsd.log")

    def _keygen(self, origin, ksk):
        args = ["ldns-keygen", "-a", "ECDSAP256SHA256"] + (["-k"] if ksk else []) + [origin + "."]
        p = subprocess.run(args, cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if p.returncode != 0:
            raise RuntimeError("ldns-keygen failed: %s" % p.stdout.decode(errors="replace"))
        return os.path.join(self.dir, p.stdout.decode().strip())

    def _write_zone(self, zone):
        """Writes ZONE (children first) and returns the path NSD loads."""
        extra = []
        for child in zone.children:
            self._write_zone(child)
            extra.append("%s. IN NS ns.test." % child.origin)
            if child.signed:
                with open(child.ksk + ".ds") as f:
                    extra.append(f.read().strip())
        path = os.path.join(self.dir, zone.origin + ".zone")
        with open(path, "w") as f:
            f.write(zone.text() + "\n".join(extra) + "\n")
        zone.path = path
        if not zone.signed:
            return
        zone.ksk = self._keygen(zone.origin, True)
        zsk = self._keygen(zone.origin, False)
        _run("ldns-signzone", "-n", "-t", "0", "-f", path + ".signed", path, zone.ksk, zsk)
        zone.path = path + ".signed"
        if zone.broken:
            with open(zone.path) as f:
                text = _break_signatures(f.read(), None if zone.broken is True else zone.broken)
            with open(zone.path, "w") as f:
                f.write(text)

    def _config(self):
        d = self.dir
        lines = ["server:", '    username: ""', '    chroot: ""', '    database: ""',
                 "    zonelistfile: %s/zone.list" % d, "    pidfile: %s/nsd.pid" % d,
                 "    xfrdfile: %s/xfrd.state" % d, "    xfrdir: %s" % d,
                 "    logfile: %s" % self.log_path, "    port: 53", "    verbosity: 1"]
        lines += ["    ip-address: %s" % a for a in NSD_ADDRESSES]
        lines += ["remote-control:", "    control-enable: no"]
        for zone in self.zones.values():
            lines += ["zone:", "    name: %s." % zone.origin, "    zonefile: %s" % zone.path]
        path = os.path.join(d, "nsd.conf")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        return path

    def __enter__(self):
        _require_namespace()
        os.makedirs(self.dir, exist_ok=True)
        root = self.zones["test"]
        self._write_zone(root)
        self.trust_anchor = root.ksk + ".ds"
        conf = self._config()
        self._out = open(os.path.join(self.dir, "nsd.out"), "wb")
        self.proc = subprocess.Popen(["nsd", "-d", "-c", conf], stdin=subprocess.DEVNULL,
                                     stdout=self._out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + self.timeout
        while not query_answers(NSD_ADDRESSES[0], "test", 6):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                raise RuntimeError("nsd did not start:\n" + self.log())
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        _stop(self.proc)
        self.proc = None
        self._out.close()
        return False

    def log(self):
        text = ""
        for name in ("nsd.out", "nsd.log"):
            try:
                with open(os.path.join(self.dir, name), "rb") as f:
                    text += f.read().decode(errors="replace")
            except OSError:
                pass
        return text


class SignedDns:
    """Nsd serving ZONES behind dnsmasq on NAMESERVER (see the module's
    description); ZONE is a Zone whose forwards (and records outside test.)
    dnsmasq adds. trust_anchor: the DS file of test."""

    def __init__(self, zones, workdir, zone=None, log_queries=False):
        self.nsd = Nsd(zones, workdir)
        self.zone = (zone or Zone(local_domains=())).forward("test", NSD_ADDRESSES[0])
        self.zone.local_domains = []
        self.dns = DnsServer(self.zone, workdir, log_queries=log_queries)

    def __enter__(self):
        self.nsd.__enter__()
        self.trust_anchor = self.nsd.trust_anchor
        try:
            self.dns.__enter__()
        except BaseException:
            self.nsd.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.dns.__exit__(*exc)
        self.nsd.__exit__(*exc)
        return False

    def log(self):
        return self.nsd.log() + self.dns.log()


class StalledServer:
    """A nameserver that reads every query (UDP and TCP) and never answers.
    queries counts the UDP datagrams and TCP connections it has seen."""

    def __init__(self, address=STALLED_ADDRESS, port=53):
        self.address = address
        self.port = port
        self.queries = 0

    def __enter__(self):
        _require_namespace()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((self.address, self.port))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.bind((self.address, self.port))
        self.tcp.listen(16)
        self.held = []
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def _serve(self):
        while not self.stopping:
            ready, _, _ = select.select([self.udp, self.tcp] + self.held, [], [], 0.1)
            for s in ready:
                if s is self.udp:
                    self.udp.recvfrom(65535)
                    self.queries += 1
                elif s is self.tcp:
                    self.held.append(self.tcp.accept()[0])
                    self.queries += 1
                elif not s.recv(65535):
                    self.held.remove(s)
                    s.close()

    def __exit__(self, *exc):
        self.stopping = True
        self.thread.join()
        for s in [self.udp, self.tcp] + self.held:
            s.close()
        return False


class SilentPort:
    """A TCP port on ADDRESS (IPv4 or IPv6) whose connects neither succeed
    nor fail (see the module's description)."""

    def __init__(self, address, port):
        self.address = (address, port)

    def __enter__(self):
        _require_namespace()
        family = socket.AF_INET6 if ":" in self.address[0] else socket.AF_INET
        self.listener = socket.socket(family)
        self.listener.bind(self.address)
        self.listener.listen(0)
        self.filler = socket.create_connection(self.address)
        return self

    def __exit__(self, *exc):
        self.filler.close()
        self.listener.close()
        return False
