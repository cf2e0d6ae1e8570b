"""PLAIN logins through fenra-auth-oidc against the test identity provider
whose token endpoint answers 100 ms late: logins per second and the latency
of a login (median, 99th percentile), for the daemon of a baseline build (the
state to compare with) and this build's, in the same run; once with real
password grants, once with a bare 200 answer (the provider's own CPU cost per
grant out of the way). Then OAUTHBEARER
logins per second with the JWKS cached, alone and while 64 PLAIN logins wait
on a token endpoint that never answers (this build only: a daemon that
blocks on the provider answers nothing meanwhile).

    python3 bench/tokens/run_plain_bench.py BUILD_DIR BASE_BUILD_DIR
        [--logins N] [--base-logins N] [--delay-ms D] [--seconds S] [--rounds R]

The load client keeps 64 PLAIN logins outstanding over 4 core connections,
each for another user (a user's password grants run one at a time).
"""

import argparse
import itertools
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "idp"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
import fenra_testlib as t  # noqa: E402
import idp  # noqa: E402
from run_bench import run, wait_socket  # noqa: E402

USERS = [{"username": "user%d" % i, "password": "pw-%d" % i, "email": "u%d@example.org" % i}
         for i in range(256)]
LIMIT = "4294967295"
CONNECTIONS = 4
WINDOW = 16  # per connection


def plain(i):
    u = USERS[i % len(USERS)]
    return b"\0" + u["username"].encode() + b"\0" + u["password"].encode()


def start_daemon(binary, d, name, p, token_endpoint=None):
    conf, sock = os.path.join(d, name + ".conf"), os.path.join(d, name + ".sock")
    with open(conf, "w") as f:
        f.write("[oidc]\nissuer = %s\nclient_id = %s\nclient_secret = %s\n"
                "token_endpoint = %s\njwks_uri = %s\nca_file = %s\n"
                "rate_max_per_account = %s\nrate_max_per_ip = %s\nlog_level = warn\n"
                % (p.issuer, p.client_id, p.client_secret, token_endpoint or p.token_endpoint,
                   p.jwks_uri, p.ca_file, LIMIT, LIMIT))
    proc = subprocess.Popen([binary, "--config", conf, "--socket", sock],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_socket(sock, proc)
    return proc, sock


def plain_load(sock, total):
    """Logins per second and the latencies (s) of total PLAIN logins."""
    latencies, failures = [], []
    share = total // CONNECTIONS

    def connection(n):
        c = t.IpcClient(sock, timeout=120)
        sent_at = {}
        first = n * share
        nxt = first
        while nxt < first + min(WINDOW, share):
            sent_at[nxt] = time.monotonic()
            c.send(t.auth_request(nxt, t.MECH_PLAIN, plain(nxt)))
            nxt += 1
        while sent_at:
            typ, fields = c.recv_frame(timeout=120)
            latencies.append(time.monotonic() - sent_at.pop(fields[0]))
            if typ != 3:
                failures.append(fields)
            if nxt < first + share:
                sent_at[nxt] = time.monotonic()
                c.send(t.auth_request(nxt, t.MECH_PLAIN, plain(nxt)))
                nxt += 1
        c.close()

    start = time.monotonic()
    threads = [threading.Thread(target=connection, args=(n,)) for n in range(CONNECTIONS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    elapsed = time.monotonic() - start
    if failures:
        raise RuntimeError("%d logins failed, e.g. %r" % (len(failures), failures[0]))
    return len(latencies) / elapsed, latencies


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def p99(values):
    return statistics.quantiles(values, n=100)[98]


def bearer_rate(bench, sock, token, seconds):
    return run([bench, "ipc", "--socket", sock, "--token", token, "--seconds", str(seconds),
                "--window", "64"])["logins_per_second"]


def hold_plain_logins(sock, n):
    """n PLAIN logins that wait on the provider until the connection closes."""
    c = t.IpcClient(sock)
    for i in range(n):
        c.send(t.auth_request(i + 1, t.MECH_PLAIN, plain(i)))
    return c


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("base_build")
    ap.add_argument("--logins", type=int, default=2000)
    ap.add_argument("--base-logins", type=int, default=48)
    ap.add_argument("--delay-ms", type=int, default=100)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    daemons = {"baseline": os.path.join(args.base_build, "auth", "fenra-auth-oidc"),
               "this build": os.path.join(args.build, "auth", "fenra-auth-oidc")}
    bench = os.path.join(args.build, "bench", "tokens", "bench_tokens")
    load_before = open("/proc/loadavg").read().split()[:3]
    plain_results, bearer = {}, {"alone": [], "64 PLAIN waiting": []}
    with idp.TestIdp(users=USERS, token_delay_ms=args.delay_ms) as p, \
            tempfile.TemporaryDirectory(prefix="fenra-bench-") as d:
        endpoints = {"password grant": p.token_endpoint, "bare 200": p.status_url(200)}
        for (name, binary), (kind, endpoint) in itertools.product(daemons.items(),
                                                                   endpoints.items()):
            proc, sock = start_daemon(binary, d, "d", p, endpoint)
            try:
                plain_load(sock, 4 * CONNECTIONS)  # connections to the provider made
                total = args.base_logins if name == "baseline" else args.logins
                cpu = (cpu_seconds(proc.pid), cpu_seconds(p.proc.pid))
                rate, lat = plain_load(sock, total)
                cpu = [(cpu_seconds(pid) - c) * 1000 / total
                       for pid, c in zip((proc.pid, p.proc.pid), cpu)]
                plain_results[(name, kind)] = (rate, lat, cpu)
            finally:
                proc.terminate()
                proc.wait(timeout=30)
        token = p.access_token("user0", resource="urn:fenra:rs256")
        proc, sock = start_daemon(daemons["this build"], d, "held", p, p.hang_url())
        try:
            for _ in range(args.rounds):
                bearer["alone"].append(bearer_rate(bench, sock, token, args.seconds))
                held = hold_plain_logins(sock, 64)
                bearer["64 PLAIN waiting"].append(bearer_rate(bench, sock, token, args.seconds))
                if not a_no_answer(held):
                    raise RuntimeError("a held PLAIN login was answered")
                held.close()
        finally:
            proc.terminate()
            proc.wait(timeout=30)
    load_after = open("/proc/loadavg").read().split()[:3]

    print("PLAIN logins, token endpoint answering %d ms late, %d core connections with %d "
          "logins outstanding" % (args.delay_ms, CONNECTIONS, CONNECTIONS * WINDOW))
    print("load average before %s, after %s" % (" ".join(load_before), " ".join(load_after)))
    print("bare 200: the provider answers 200 without a grant (its own cost out of the way)")
    print("%-11s %-15s %7s %10s %12s %9s %22s"
          % ("daemon", "answer", "logins", "logins/s", "median (ms)", "p99 (ms)",
             "CPU ms/login: daemon, provider"))
    for (name, kind), (rate, lat, cpu) in plain_results.items():
        print("%-11s %-15s %7d %10.1f %12.0f %9.0f %14.2f %8.2f"
              % (name, kind, len(lat), rate, 1000 * statistics.median(lat), 1000 * p99(lat),
                 *cpu))
    print()
    print("OAUTHBEARER logins/s (RS256, JWKS cached), %d rounds of %.1f s, medians:"
          % (args.rounds, args.seconds))
    alone = statistics.median(bearer["alone"])
    for name, rates in bearer.items():
        m = statistics.median(rates)
        print("%-17s %8.0f  %5.1f%%  (rounds: %s)"
              % (name, m, 100 * m / alone, ", ".join("%.0f" % r for r in rates)))


def a_no_answer(c):
    try:
        c.recv_frame(timeout=0.2)
    except socket.timeout:
        return True
    return False


if __name__ == "__main__":
    main()
