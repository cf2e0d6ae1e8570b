"""The world of the fenra-s2s integration tests, inside a test namespace
(netns.enter() first): daemons with test cores on their IPC sockets, a DNS
server of the test's own, a test CA, and scripted peers (xmpp_peer).

    import s2s_world as w
    world = w.World(zone)                   # a netns.Zone (dnsmasq) or signed zones
    a = world.node("a.test", "127.0.0.1")   # fenra-s2s with a.test's certificate
    a.deliver("u@a.test", "v@b.test", "<message/>")
    a.expect_failed("v@b.test", "remote-server-timeout")
    p = a.peer()                            # a remote server connecting to it
    p.negotiate_tls("b.test")
    world.stop()

    sys.exit(w.main(SCENARIOS, build_zone))  # sc_NAME(world) scenario scripts

Each node is one fenra-s2s process (its log in .daemon, a fenra_testlib
Daemon) listening for federation on ADDRESS:PORT, with one test core
connected to its IPC socket (.core, a fenra_testlib IpcClient). More cores
can be connected with connect_core(). Its resolver validates from
trust_anchor (the world's: netns.unsigned_anchor() for dnsmasq, under which
the zones are insecure; the DS of the signed zones for netns.SignedDns).
"""

import contextlib
import os
import shutil
import socket
import sys
import tempfile
import time
import traceback
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fenra_testlib as t  # noqa: E402
import netns  # noqa: E402
import testca  # noqa: E402
import xmpp_peer as xp  # noqa: E402


class World:
    """A work directory, a test CA with a certificate per domain (made when
    first asked for), the DNS server, and the daemons started (whose logs a
    failed scenario prints). addresses: where node() puts each host."""

    def __init__(self, zone=None, work=None, forward=None, addresses=None):
        self.dir = work or t.temp_dir()
        self.ca = testca.TestCA(self.dir)
        self.addresses = addresses or {}
        self.certs = {}
        self.nodes = []
        self.dns = None
        self.trust_anchor = None
        if zone is not None:
            self.serve(zone, forward)

    def serve(self, zone, forward=None, log_queries=False):
        """Starts the DNS server: dnsmasq for a netns.Zone; for a dict of
        signed zones (netns.dnssec_zones()) NSD behind dnsmasq, with the
        forwards of the netns.Zone forward. Daemons started afterwards
        validate from the matching trust anchor."""
        if isinstance(zone, dict):
            self.dns = netns.SignedDns(zone, self.dir, forward, log_queries).__enter__()
            self.trust_anchor = self.dns.trust_anchor
        else:
            self.dns = netns.DnsServer(zone, self.dir, log_queries).__enter__()
            self.trust_anchor = netns.unsigned_anchor()
        return self.dns

    def cert(self, domain):
        if domain not in self.certs:
            self.certs[domain] = self.ca.issue(domain)
        return self.certs[domain]

    def ctx(self, domain, chain=None):
        """A TLS server context with domain's certificate (or another chain)."""
        c = self.cert(domain)
        return xp.server_context(chain or c.chain, c.key)

    @contextlib.contextmanager
    def remote(self, domain, address=None, port=5269, chain=None, check=True, **knobs):
        """A scripted remote server for domain (an xp.Receiver with knobs,
        presenting domain's certificate or chain) on address (default: the
        domain's in addresses) and port for the with block; its listener in
        .listener. With check, none of its connection handlers may have
        failed."""
        ctx = self.ctx(domain, chain)
        r = xp.Receiver(domain, ctx, **knobs)
        r.listener = xp.PeerListener(address or self.addresses[domain], port, r.serve,
                                     ctx=ctx if knobs.get("direct") else None)
        try:
            yield r
            assert not (check and r.listener.errors), "remote side failed: %r" % (
                r.listener.errors)
        finally:
            r.listener.close()

    def node(self, host="a.test", address=None, cert=True, **kw):
        """fenra-s2s for host (cert: True for host's certificate, None for
        none, or a testca.Cert); kw as for S2sNode."""
        n = S2sNode(host, address or self.addresses.get(host, "127.0.0.1"),
                    cert=self.cert(host) if cert is True else (cert or None),
                    trust_anchor=self.trust_anchor, **kw)
        self.nodes.append(n)
        return n

    def stop(self):
        """Stops every node and the DNS server; returns the first non-zero
        exit status of a node, or 0."""
        rcs = [n.stop() for n in self.nodes]
        if self.dns is not None:
            self.dns.__exit__(None, None, None)
            self.dns = None
        return next((rc for rc in rcs if rc), 0)


def inbound_world(zone=None, extra=(), core_socket=True):
    """A World serving zone (default: no records; a function of the world
    when the records need its certificates) and fenra-s2s for a.test on
    127.0.0.1 at a free port, no core connected yet: (world, node)."""
    world = World()
    world.serve((zone(world) if callable(zone) else zone) or netns.Zone())
    return world, world.node(port=t.free_port(), extra_args=extra, core=False,
                             core_socket=core_socket)


class InboundCase(unittest.TestCase):
    """Cases that share one inbound_world per class: cls.world, cls.a (the
    daemon's node), cls.core (a connected core, with_core), and per case
    self.d (the daemon) and self.mark (its log before the case). The daemon
    must exit cleanly at the end."""

    zone = None
    extra = ()
    core_socket = True
    with_core = False

    @classmethod
    def setUpClass(cls):
        cls.world, cls.a = inbound_world(cls.zone, cls.extra, cls.core_socket)
        cls.core = cls.a.connect_core() if cls.with_core else None

    @classmethod
    def tearDownClass(cls):
        rc = cls.world.stop()
        assert rc == 0, "exit status %d:\n%s" % (rc, cls.a.daemon.log_text())

    def setUp(self):
        self.d = self.a.daemon
        self.mark = self.d.mark()


class S2sNode:
    """One fenra-s2s (see the module's description); core=False connects
    no core at start, core_socket=False gives it no IPC socket at all."""

    def __init__(self, host, address, port=5269, cert=None, extra_args=(), core=True,
                 trust_anchor=None, core_socket=True):
        self.host = host
        self.address = address
        self.port = port
        self.cert = cert
        self.sock_dir = t.temp_dir("fenra-s2s-")
        self.core_socket = os.path.join(self.sock_dir, "core.sock")
        argv = [t.binary("fenra-s2s"), "--host", host, "--address", address, "--port", str(port)]
        if core_socket:
            argv += ["--core-socket", self.core_socket]
        if cert is not None:
            argv += ["--cert", cert.chain, "--key", cert.key]
        argv += ["--dns-trust-anchor", trust_anchor or netns.unsigned_anchor()]
        argv += list(extra_args)
        self.daemon = t.Daemon(argv)
        # The IPC socket and the listener are ready by then.
        self.daemon.wait_for("fenra-s2s event loop started")
        self.cores = []
        self.peers = []
        self.core = self.connect_core() if core else None

    def peer(self, source=None, rcvbuf=None):
        """A scripted remote server connected to this daemon (xp.StreamConn)."""
        p = xp.StreamConn.connect(self.address, self.port, source=source, rcvbuf=rcvbuf)
        self.peers.append(p)
        return p

    def connect_core(self):
        mark = self.daemon.mark()
        c = t.IpcClient(self.core_socket)
        self.daemon.wait_for("core connected via IPC slot=", start=mark)
        self.cores.append(c)
        return c

    def deliver(self, frm, to, stanza, core=None):
        (core or self.core).send(t.delivery_request(frm, to, stanza))

    def expect_frame(self, kind, core=None, timeout=t.DEFAULT_TIMEOUT):
        """The next frame on the core, which must be of this type; returns
        its fields as text."""
        got, fields = (core or self.core).recv_frame(timeout)
        if got != kind:
            raise AssertionError("expected frame type %d, got %d %r; log:\n%s"
                                 % (kind, got, fields, self.daemon.log_text()))
        return [f.decode("utf-8", "replace") if isinstance(f, bytes) else f for f in fields]

    def expect_failed(self, to, condition, core=None, timeout=t.DEFAULT_TIMEOUT):
        fields = self.expect_frame(t.DELIVERY_FAILED, core, timeout)
        if fields[1] != to or fields[2] != condition:
            raise AssertionError("expected DeliveryFailed to=%r %r, got %r; log:\n%s"
                                 % (to, condition, fields, self.daemon.log_text()))
        return fields

    def expect_inbound(self, core=None, timeout=t.DEFAULT_TIMEOUT):
        return self.expect_frame(t.INBOUND_STANZA, core, timeout)

    def no_frame(self, core=None, wait=0.5):
        """True when no frame arrives within wait seconds."""
        try:
            (core or self.core).recv_frame(wait)
        except socket.timeout:
            return True
        return False

    def close_links(self):
        for c in self.peers + self.cores:
            c.close()

    def stop(self):
        self.close_links()
        return self.daemon.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close_links()
        self.daemon.kill()
        return False


def run_scenarios(world, scenarios, wanted=()):
    """Runs each scenario function (named sc_NAME) on the world, or only those
    named in wanted; prints "ok" or "FAIL" with the trace and the daemons'
    logs. Afterwards the scenario's nodes are stopped (killed after a
    failure). Returns the number passed and the names that failed."""
    passed, failed = 0, []
    for sc in scenarios:
        name = sc.__name__[3:]
        if wanted and name not in wanted:
            continue
        world.nodes = []
        start = time.monotonic()
        try:
            sc(world)
            passed += 1
            print("ok   %s (%.1fs)" % (name, time.monotonic() - start), flush=True)
        except Exception:  # noqa: BLE001
            failed.append(name)
            print("FAIL %s\n%s" % (name, traceback.format_exc()), flush=True)
            for n in world.nodes:
                print("--- log of %s:\n%s" % (n.host, n.daemon.log_text()), flush=True)
        finally:
            for n in world.nodes:
                if name in failed:
                    n.__exit__()
                else:
                    n.stop()
    return passed, failed


def main(scenarios, build_zone, forward=None, setup=None, **world_args):
    """Runs the scenarios named on the command line (every one without) on a
    World whose DNS server serves build_zone(world), after setup(world);
    prints the tally and returns the exit status."""
    work = tempfile.mkdtemp(prefix="fenra-w-", dir="/tmp")
    passed, failed = 0, []
    try:
        world = World(work=work, **world_args)
        if setup is not None:
            setup(world)
        world.serve(build_zone(world), forward)
        passed, failed = run_scenarios(world, scenarios, set(sys.argv[1:]))
        world.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, len(failed)))
    return 1 if failed else 0
