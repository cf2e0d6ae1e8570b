#!/usr/bin/env python3
"""Outbound federation throughput of fenra-s2s, with a plain TLS connection
between the same two addresses as the baseline of the same run.

    run_bench.py --build BUILD_DIR [--count N] [--streams S] [--rounds R]

Inside a network namespace of its own (tests/lib/netns.py) with dnsmasq
serving the zone, unsigned (the daemons' trust anchor is
netns.unsigned_anchor(): every answer is insecure), two daemons run: a.test
on 127.0.0.1 and b.test on 127.0.0.2, each with a test core (bench_outbound)
on its IPC socket.

- deliveries: core A asks for N deliveries to bob@b.test over the stream
  that one warm-up delivery set up (STARTTLS + dialback); the rate is N over
  the time from the first request to core B's last InboundStanza. Baseline:
  the same N stanzas written by a TLS client on 127.0.0.1 to a TLS server on
  127.0.0.2 that reads and discards them.
- streams: one delivery each from core A to S domains d0.test ... whose
  server on 127.0.0.2 is bench_outbound itself (a daemon serves one domain):
  S new streams, each with STARTTLS, a TLS handshake and dialback whose key
  is checked by a real callback to daemon A. Baseline: S TLS handshakes
  between the same addresses.

Each figure is the median of R rounds (fresh daemons for the stream set-up).
The load average is printed before and after.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
import netns  # noqa: E402

netns.enter()

import fenra_testlib as t  # noqa: E402
import testca  # noqa: E402


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def step(what):
    print("... " + what, file=sys.stderr, flush=True)


def run_tool(tool, *args):
    step(" ".join(str(a) for a in args[:1]))
    p = subprocess.run([tool] + [str(a) for a in args], capture_output=True, timeout=600)
    if p.returncode != 0:
        raise RuntimeError("%s %s failed: %s" % (tool, args, p.stderr.decode()))
    for line in p.stdout.decode().splitlines():
        if line.startswith("elapsed "):
            return int(line.split()[1]) / 1e9
    raise RuntimeError("no elapsed line from %s" % (args,))


class Daemon:
    """fenra-s2s with its log in a file (a pipe read by Python would slow it)."""

    def __init__(self, build, host, address, cert, work):
        self.sock = os.path.join(work, host + ".sock")
        self.log = open(os.path.join(work, host + ".log"), "ab")
        self.proc = subprocess.Popen(
            [os.path.join(build, "s2s", "fenra-s2s"), "--host", host, "--address", address,
             "--core-socket", self.sock, "--cert", cert.chain, "--key", cert.key,
             # The core asks for every delivery at once: none may be refused
             # for the length of the domain's queue.
             "--max-queued-deliveries", "1000000",
             # The stream set-up opens its 100 callback streams from one address.
             "--max-unauthenticated-per-address", "1000",
             # The test zone is unsigned: its answers are insecure, not bogus.
             "--dns-trust-anchor", netns.unsigned_anchor()],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log)
        t.wait_for_socket(self.sock)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(60)
        self.log.close()


def server_then_client(tool, server_args, client_args):
    """Starts the server side, waits for its "ready", runs the client; returns
    the elapsed time that the side named in the tool's usage prints."""
    step(str(server_args[0]))
    srv = subprocess.Popen([tool] + [str(a) for a in server_args], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    assert srv.stdout.readline().strip() == b"ready"
    cli = subprocess.run([tool] + [str(a) for a in client_args], capture_output=True, timeout=600)
    out, err = srv.communicate(timeout=600)
    if srv.returncode != 0 or cli.returncode != 0:
        raise RuntimeError("TLS baseline failed: %s %s" % (err.decode(), cli.stderr.decode()))
    for text in (out.decode(), cli.stdout.decode()):
        for line in text.splitlines():
            if line.startswith("elapsed "):
                return int(line.split()[1]) / 1e9
    raise RuntimeError("no elapsed line in the TLS baseline")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--count", type=int, default=100000)
    ap.add_argument("--streams", type=int, default=100)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    os.environ["FENRA_BUILD"] = os.path.abspath(args.build)
    tool = os.path.join(args.build, "bench", "outbound", "bench_outbound")
    work = tempfile.mkdtemp(prefix="fenra-bench-ob-", dir="/tmp")
    print("load average before: %s" % loadavg())
    try:
        ca = testca.TestCA(work)
        a_cert, b_cert = ca.issue("a.test"), ca.issue("b.test")
        zone = netns.Zone()
        zone.a("a.test", "127.0.0.1")
        zone.a("b.test", "127.0.0.2")
        for i in range(args.streams):
            zone.a("d%d.test" % i, "127.0.0.2")
        with netns.DnsServer(zone, work):
            rates, tls_rates, setups, tls_setups, cpu_a, cpu_b = [], [], [], [], [], []
            for r in range(args.rounds):
                da = Daemon(args.build, "a.test", "127.0.0.1", a_cert, work)
                try:
                    setups.append(run_tool(tool, "streams", da.sock, b_cert.chain, b_cert.key,
                                           args.streams))
                finally:
                    da.stop()
                da = Daemon(args.build, "a.test", "127.0.0.1", a_cert, work)
                db = Daemon(args.build, "b.test", "127.0.0.2", b_cert, work)
                try:
                    before = cpu_seconds(da.proc.pid), cpu_seconds(db.proc.pid)
                    rates.append(args.count / run_tool(tool, "deliver", da.sock, db.sock,
                                                       args.count))
                    cpu_a.append(cpu_seconds(da.proc.pid) - before[0])
                    cpu_b.append(cpu_seconds(db.proc.pid) - before[1])
                finally:
                    da.stop()
                    db.stop()
                port = 6000 + r
                tls_rates.append(args.count / server_then_client(
                    tool, ["tls-sink", "127.0.0.2", port, b_cert.chain, b_cert.key, args.count],
                    ["tls-push", "127.0.0.2", port, "127.0.0.1", args.count]))
                tls_setups.append(server_then_client(
                    tool, ["tls-accept", "127.0.0.2", port + 100, b_cert.chain, b_cert.key,
                           args.streams],
                    ["tls-connect", "127.0.0.2", port + 100, "127.0.0.1", args.streams]))
            rate, tls_rate = statistics.median(rates), statistics.median(tls_rates)
            setup, tls_setup = statistics.median(setups), statistics.median(tls_setups)
            print("deliveries core A -> core B: %.0f/s (rounds: %s)"
                  % (rate, ", ".join("%.0f" % x for x in rates)))
            print("plain TLS 127.0.0.1 -> 127.0.0.2, same stanzas: %.0f/s (rounds: %s)"
                  % (tls_rate, ", ".join("%.0f" % x for x in tls_rates)))
            print("ratio deliveries / plain TLS: %.3f" % (rate / tls_rate))
            print("CPU per delivery: sending daemon %.2f us, receiving daemon %.2f us"
                  % (statistics.median(cpu_a) / args.count * 1e6,
                     statistics.median(cpu_b) / args.count * 1e6))
            print("%d dialback-authenticated streams set up: %.3f s (rounds: %s)"
                  % (args.streams, setup, ", ".join("%.3f" % x for x in setups)))
            print("%d plain TLS handshakes: %.3f s (rounds: %s)"
                  % (args.streams, tls_setup, ", ".join("%.3f" % x for x in tls_setups)))
            print("ratio stream set-up / TLS handshakes: %.2f" % (setup / tls_setup))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        t.cleanup_dirs()
    print("load average after: %s" % loadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
