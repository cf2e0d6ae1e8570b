#!/usr/bin/env python3
"""Inbound stanzas per second through fenra-s2s, against a plain TLS sink.

    run_bench.py --build BUILD_DIR [--count N] [--rounds R] [--log file|null]
                 [--no-stanza-log] [--callgrind]

Inside a network namespace of its own (tests/lib/netns.py) with the zone
test. signed at run time (netns.SignedDns) holding a TLSA record for the
peer's certificate, and the daemon validating with its key, a remote server
(bench_inbound peer) reaches the established state over STARTTLS and SASL
EXTERNAL, then pushes N identical small chat messages; a test core on the
IPC socket reads the InboundStanza frames. The rate is N over the time from
the peer's first byte to the core's last byte. In the same run the same peer
pushes the same bytes into a plain TLS sink that discards them: that is the
transport's own limit and the baseline. With --no-stanza-log each round
also runs the daemon with that option, and the log lines of both runs are
counted.

With --pin the daemon is pinned to CPU 0 and the peer, the sink and the
core to CPU 1 (on a virtual machine an idle pinned CPU wakes up slowly, so the
daemon's share of waiting grows). The daemon's CPU time per message (user and
system) is its cost whatever the placement. With --callgrind the daemon runs under
valgrind for two message counts, and the difference of its instruction
counts divided by the difference of the counts is the cost of one message
(the sink is measured the same way).
"""

import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
import netns  # noqa: E402

FROM = b"juliet@b.test/balcony"
TO = b"romeo@a.test"


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def cpu_seconds(pid):
    """(user, system) CPU seconds of a process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def rss_kib(pid):
    """Resident set size of a process in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


PIN = False


def pin(cpu):
    if PIN and (os.cpu_count() or 1) >= 2 and shutil.which("taskset"):
        return ["taskset", "-c", str(cpu)]
    return []


def frame_of(stanza):
    body = b"".join(struct.pack("<H", len(s)) + s for s in (FROM, TO, stanza))
    payload = b"\x11" + body
    return struct.pack("<I", len(payload)) + payload


class Core(threading.Thread):
    """Reads frames until WANT bytes arrived; checks the first frame."""

    def __init__(self, path, first, want):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        for _ in range(200):
            try:
                self.sock.connect(path)
                break
            except OSError:
                time.sleep(0.05)
        self.first = first
        self.want = want
        self.end_ns = None
        self.error = None
        self.got = 0

    def run(self):
        buf = bytearray(1 << 22)
        view = memoryview(buf)
        head = b""
        self.sock.settimeout(600)
        while self.got < self.want:
            n = self.sock.recv_into(view)
            if n == 0:
                self.error = "core connection closed after %d bytes" % self.got
                return
            if len(head) < len(self.first):
                head += bytes(view[:min(n, len(self.first) - len(head))])
                if len(head) == len(self.first) and head != self.first:
                    self.error = "first frame %r" % head
                    return
            self.got += n
        self.end_ns = time.monotonic_ns()
        if self.got != self.want:
            self.error = "got %d bytes, wanted %d" % (self.got, self.want)


def start_peer(binary, args):
    p = subprocess.Popen(pin(1) + [binary, "peer"] + [str(a) for a in args],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = p.stdout.readline().strip()
    if line != "ready":
        raise RuntimeError("peer did not get ready: %r" % line)
    return p


def go(p):
    p.stdin.write("\n")
    p.stdin.flush()
    start = int(p.stdout.readline().split()[1])
    return start


def finish(p):
    p.stdout.readline()  # pushed
    p.stdin.write("\n")
    p.stdin.flush()
    p.wait(60)


class World:
    def __init__(self, build, work):
        import testca
        self.build = build
        self.work = work
        ca = testca.TestCA(work)
        self.a = ca.issue("a.test")
        self.b = ca.issue("b.test")
        zone = netns.AuthZone("test")
        zone.tlsa(5269, "b.test", 3, 1, 1, testca.tlsa_data(self.b, 1, 1))
        self.dns = netns.SignedDns({"test": zone}, work).__enter__()
        self.tool = os.path.join(build, "bench", "inbound", "bench_inbound")
        self.s2s = os.path.join(build, "s2s", "fenra-s2s")
        self.stanza = subprocess.run([self.tool, "stanza"], capture_output=True,
                                     check=True).stdout

    def daemon(self, log, prefix=(), options=()):
        port = free_port()
        sock = os.path.join(self.work, "core-%d.sock" % port)
        self.log_path = None if log == "null" else os.path.join(self.work, "s2s-%d.log" % port)
        err = open(self.log_path or os.devnull, "wb")
        argv = list(prefix) + [self.s2s, "--host", "a.test", "--address", "127.0.0.1",
                               "--port", str(port), "--cert", self.a.chain, "--key", self.a.key,
                               "--core-socket", sock, "--dns-trust-anchor",
                               self.dns.trust_anchor, *options]
        d = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=err)
        err.close()
        deadline = time.monotonic() + 120
        while not os.path.exists(sock):
            if time.monotonic() > deadline or d.poll() is not None:
                raise RuntimeError("daemon did not start")
            time.sleep(0.05)
        return d, port, sock

    def log_lines(self):
        """The lines the last daemon logged (None without a log file)."""
        if not self.log_path:
            return None
        with open(self.log_path, "rb") as f:
            return sum(1 for _ in f)

    def through_daemon(self, count, log, prefix=None, options=()):
        """(messages per second, daemon CPU seconds, daemon process)."""
        d, port, sock = self.daemon(log, pin(0) if prefix is None else prefix, options)
        frame = frame_of(self.stanza)
        core = Core(sock, frame, len(frame) * count)
        core.start()
        peer = start_peer(self.tool, ["xmpp", port, self.b.chain, self.b.key, count])
        cpu0 = cpu_seconds(d.pid)
        rss0 = rss_kib(d.pid)
        start = go(peer)
        core.join(1200)
        cpu1 = cpu_seconds(d.pid)
        self.rss = (rss0, rss_kib(d.pid))
        finish(peer)
        d.terminate()
        d.wait(600)
        if core.error or core.end_ns is None:
            raise RuntimeError("core: %s" % core.error)
        return count / ((core.end_ns - start) / 1e9), (cpu1[0] - cpu0[0], cpu1[1] - cpu0[1]), d

    def into_sink(self, count, prefix=None):
        """(messages per second, sink process) for the same bytes."""
        port = free_port()
        argv = (pin(0) if prefix is None else list(prefix)) + [
            self.tool, "sink", str(port), self.a.chain, self.a.key,
            str(len(self.stanza) * count)]
        sink = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        if sink.stdout.readline().strip() != "ready":
            raise RuntimeError("sink did not start")
        peer = start_peer(self.tool, ["tls", port, count])
        start = go(peer)
        end = int(sink.stdout.readline().split()[1])
        finish(peer)
        sink.wait(600)
        return count / ((end - start) / 1e9), sink

    def close(self):
        self.dns.__exit__(None, None, None)


def callgrind_total(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + path)


def instructions(world, label, counts, run):
    totals = []
    for n in counts:
        out = os.path.join(world.work, "callgrind.%s.%d.out" % (label, n))
        run(n, ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out])
        totals.append(callgrind_total(out))
        if world.keep:
            shutil.copy(out, world.keep)
    return (totals[1] - totals[0]) / (counts[1] - counts[0])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--count", type=int, default=2_000_000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--log", choices=["file", "null"], default="file",
                    help="the daemon's log (a line per message) to a file or /dev/null")
    ap.add_argument("--no-stanza-log", action="store_true",
                    help="each round also runs the daemon with --no-stanza-log")
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--keep", help="copy the callgrind profiles into this directory")
    ap.add_argument("--pin", action="store_true",
                    help="daemon on CPU 0, peer, sink and core on CPU 1")
    args = ap.parse_args()
    global PIN
    PIN = args.pin

    netns.enter()
    if pin(1):
        os.sched_setaffinity(0, {1})  # the test core's reader with the peer, off the daemon's CPU
    import tempfile
    work = tempfile.mkdtemp(prefix="fenra-bench-", dir="/tmp")
    world = World(os.path.abspath(args.build), work)
    world.keep = args.keep and os.path.abspath(args.keep)
    try:
        print("load before: %s" % loadavg())
        print("message: %d bytes, %r" % (len(world.stanza), world.stanza.decode()))
        daemon_rates, sink_rates, cpus = [], [], []
        for r in range(args.rounds):
            rate, cpu, _ = world.through_daemon(args.count, args.log)
            rss = world.rss
            lines = world.log_lines()
            if args.no_stanza_log:
                quiet, qcpu, _ = world.through_daemon(args.count, args.log,
                                                      options=["--no-stanza-log"])
                print("round %d: daemon --no-stanza-log %.0f msg/s (CPU each: %.2f us user, "
                      "%.2f us system), %s log lines; default %s log lines"
                      % (r + 1, quiet, qcpu[0] / args.count * 1e6, qcpu[1] / args.count * 1e6,
                         world.log_lines(), lines))
            sink_rate, _ = world.into_sink(args.count)
            daemon_rates.append(rate)
            sink_rates.append(sink_rate)
            cpus.append(cpu)
            print("round %d: daemon %.0f msg/s (CPU each: %.2f us user, %.2f us system), "
                  "TLS sink %.0f msg/s, ratio %.2f; daemon RSS %d KiB before the stream, "
                  "%d KiB after it"
                  % (r + 1, rate, cpu[0] / args.count * 1e6, cpu[1] / args.count * 1e6,
                     sink_rate, rate / sink_rate, *rss))
        best = max(range(args.rounds), key=lambda i: daemon_rates[i])
        print("best: daemon %.0f msg/s, TLS sink (same round) %.0f msg/s, ratio %.2f; "
              "median daemon %.0f, median sink %.0f"
              % (daemon_rates[best], sink_rates[best], daemon_rates[best] / sink_rates[best],
                 sorted(daemon_rates)[args.rounds // 2], sorted(sink_rates)[args.rounds // 2]))
        if args.callgrind:
            counts = (20_000, 60_000)
            per_daemon = instructions(
                world, "daemon", counts, lambda n, pre: world.through_daemon(n, args.log, pre))
            per_sink = instructions(world, "sink", counts, lambda n, pre: world.into_sink(n, pre))
            print("instructions per message: daemon %.0f, TLS sink %.0f, ratio %.2f"
                  % (per_daemon, per_sink, per_daemon / per_sink))
        print("load after: %s" % loadavg())
    finally:
        world.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
