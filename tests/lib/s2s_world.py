"""fenra-s2s daemons with a test core, for federation tests inside a test
namespace (netns.enter() first; DNS from netns.DnsServer).

    import s2s_world as w
    a = w.S2sNode("a.test", "127.0.0.1", cert=a_cert)     # a testca.Cert or None
    a.core.send(t.delivery_request("u@a.test", "v@b.test", "<message/>"))
    kind, fields = a.core.recv_frame()
    a.stop()

Each node is one fenra-s2s process (its log in .daemon, a fenra_testlib
Daemon) listening for federation on ADDRESS:PORT, with one test core
connected to its IPC socket (.core, a fenra_testlib IpcClient). More cores
can be connected with connect_core(). Its resolver validates from
trust_anchor (default: netns.unsigned_anchor(), under which the dnsmasq
world's zones are insecure; the DS of netns.SignedDns for a signed world).
"""

import os
import socket
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fenra_testlib as t  # noqa: E402
import netns  # noqa: E402

__all__ = ["S2sNode", "frames_of"]


class S2sNode:
    def __init__(self, host, address, port=5269, cert=None, extra_args=(), core=True,
                 trust_anchor=None):
        self.host = host
        self.address = address
        self.port = port
        self.cert = cert
        self.sock_dir = t.temp_dir("fenra-s2s-")
        self.core_socket = os.path.join(self.sock_dir, "core.sock")
        argv = [t.binary("fenra-s2s"), "--host", host, "--address", address, "--port", str(port),
                "--core-socket", self.core_socket]
        if cert is not None:
            argv += ["--cert", cert.chain, "--key", cert.key]
        argv += ["--dns-trust-anchor", trust_anchor or netns.unsigned_anchor()]
        argv += list(extra_args)
        self.daemon = t.Daemon(argv)
        self.daemon.wait_for("fenra-s2s event loop started")
        t.wait_for_socket(self.core_socket)
        self.cores = []
        self.core = self.connect_core() if core else None

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

    def stop(self):
        for c in self.cores:
            c.close()
        return self.daemon.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for c in self.cores:
            c.close()
        self.daemon.kill()
        return False


def frames_of(node, kind, count, timeout=t.DEFAULT_TIMEOUT):
    """The next count frames of this type on node's core."""
    return [node.expect_frame(kind, timeout=timeout) for _ in range(count)]


def run_scenarios(world, scenarios, wanted=(), kill_nodes=True):
    """Runs each scenario function (named sc_NAME) on the world, or only those
    named in wanted; prints "ok" or "FAIL" with the trace and the daemons'
    logs. The scenario's nodes are killed afterwards unless kill_nodes is
    false. Returns the number passed and the names that failed."""
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
            if kill_nodes:
                for n in world.nodes:
                    n.daemon.kill()
    return passed, failed

