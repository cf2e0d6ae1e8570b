"""OAUTHBEARER logins per second through fenra-auth-oidc's IPC socket, for
RS256 (2048-bit RSA) and EdDSA tokens from the test identity provider, with
the JWKS cached, against the plain EVP verify rate of the same key and token
measured in the same run (the baseline), and the share of the JSON parser
(header and payload decoded, parsed and their claims read) in a login.

    python3 bench/tokens/run_bench.py BUILD_DIR [--seconds S] [--rounds R]

The daemon and the baseline loop run on CPU 0, the load client on CPU 1.
Each round measures the baseline and then the daemon twice: with a load
client that sleeps in read (every answer has to wake it) and with one that
polls its socket (as a busy core would). The medians are reported, per second
of CPU time (of the daemon, of the verifying thread) and per second of
wall-clock time; on a machine shared with other work the CPU-time figures
give the rate of one core.
"""

import argparse
import base64
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "idp"))
import idp  # noqa: E402

USERS = [{"username": "alice", "password": "alice-pw", "email": "alice@example.org",
          "picture": "https://example.org/alice.png"}]
LIMIT = "4294967295"  # the rate limits stay out of the way
GOALS = {"RS256": 0.75, "EdDSA": 0.85}


def header(token):
    part = token.split(".")[0]
    return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))


def wait_socket(path, proc, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("fenra-auth-oidc exited early")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return
        except OSError:
            time.sleep(0.05)
        finally:
            s.close()
    raise RuntimeError("fenra-auth-oidc did not listen on " + path)


def run(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[1], out.stderr.strip()))
    return {k: float(v) for k, v in (kv.split("=") for kv in out.stdout.split())}


def write_config(path, p):
    with open(path, "w") as f:
        f.write("[oidc]\nissuer = %s\nclient_id = %s\nclient_secret = %s\n"
                "token_endpoint = %s\njwks_uri = %s\nca_file = %s\n"
                "rate_max_per_account = %s\nrate_max_per_ip = %s\n"
                % (p.issuer, p.client_id, p.client_secret, p.token_endpoint, p.jwks_uri,
                   p.ca_file, LIMIT, LIMIT))


def measure(args, p, d):
    bench = os.path.join(args.build, "bench", "tokens", "bench_tokens")
    two = (os.cpu_count() or 1) >= 2
    server_cpu, client_cpu = ("0", "1") if two else ("-1", "-1")
    jwks = {k["kid"]: k for k in p.jwks()["keys"]}
    tokens = {
        "RS256": p.access_token("alice", resource="urn:fenra:rs256"),
        "EdDSA": p.access_token("alice", resource="urn:fenra:eddsa"),
    }
    conf, sock = os.path.join(d, "fenra.conf"), os.path.join(d, "auth.sock")
    write_config(conf, p)
    # The log goes to a file, as it would to a journal.
    log = open(os.path.join(d, "daemon.log"), "wb")
    daemon = subprocess.Popen(
        [os.path.join(args.build, "auth", "fenra-auth-oidc"), "--config", conf, "--socket", sock],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
        preexec_fn=(lambda: os.sched_setaffinity(0, {0})) if two else None)
    names = ("base", "base_cpu", "rebuilt_cpu", "ipc", "ipc_cpu", "busy",
             "spin", "spin_cpu", "spin_busy", "json_cpu")
    results = {alg: {n: [] for n in names} for alg in tokens}
    try:
        wait_socket(sock, daemon)
        for _ in range(args.rounds):
            for alg, token in tokens.items():
                jwk = jwks[header(token)["kid"]]
                key = ["--n", jwk["n"], "--e", jwk["e"]] if alg == "RS256" else ["--x", jwk["x"]]
                v = run([bench, "verify", "--token", token, "--seconds", str(args.seconds),
                         "--cpu", server_cpu] + key)
                r = results[alg]
                r["base"].append(v["verify_key_built_once"])
                r["base_cpu"].append(v["verify_key_built_once_cpu"])
                r["rebuilt_cpu"].append(v["verify_key_rebuilt_cpu"])
                j = run([bench, "json", "--token", token, "--seconds", str(args.seconds / 2),
                         "--cpu", server_cpu])
                r["json_cpu"].append(j["json_parses_cpu"])
                for mode, spin in (("ipc", "0"), ("spin", "1")):
                    i = run([bench, "ipc", "--socket", sock, "--token", token,
                             "--seconds", str(args.seconds), "--window", str(args.window),
                             "--cpu", client_cpu, "--daemon-pid", str(daemon.pid),
                             "--spin", spin])
                    r[mode].append(i["logins_per_second"])
                    r[mode + "_cpu"].append(i["logins_per_daemon_cpu_second"])
                    r["busy" if mode == "ipc" else "spin_busy"].append(i["daemon_busy"])
    finally:
        daemon.terminate()
        daemon.wait(timeout=30)
        log.close()
    return results


def report(args, results, load_before, load_after):
    med = {alg: {n: statistics.median(v) for n, v in r.items()} for alg, r in results.items()}
    print("OAUTHBEARER logins through the IPC socket vs. plain EVP verify (same key, same token)")
    print("load average before %s, after %s; %d rounds of %.1f s, medians"
          % (" ".join(load_before), " ".join(load_after), args.rounds, args.seconds))
    print("sleep: the load client blocks in read, so every answer has to wake it")
    print("poll:  the load client polls its socket, as a busy core would")
    print()
    print("per second of CPU time (one core):")
    print("%-6s %14s %7s %14s %7s %5s %13s %17s"
          % ("alg", "logins (sleep)", "ratio", "logins (poll)", "ratio", "goal", "EVP verifies",
             "key rebuilt each"))
    for alg, m in med.items():
        print("%-6s %14.0f %6.1f%% %14.0f %6.1f%% %4.0f%% %13.0f %17.0f"
              % (alg, m["ipc_cpu"], 100 * m["ipc_cpu"] / m["base_cpu"], m["spin_cpu"],
                 100 * m["spin_cpu"] / m["base_cpu"], 100 * GOALS[alg], m["base_cpu"],
                 m["rebuilt_cpu"]))
    print()
    print("per second of wall-clock time (busy: the daemon's CPU time over the wall time):")
    print("%-6s %14s %7s %5s %14s %7s %5s %13s"
          % ("alg", "logins (sleep)", "ratio", "busy", "logins (poll)", "ratio", "busy",
             "EVP verifies"))
    for alg, m in med.items():
        print("%-6s %14.0f %6.1f%% %4.0f%% %14.0f %6.1f%% %4.0f%% %13.0f"
              % (alg, m["ipc"], 100 * m["ipc"] / m["base"], 100 * m["busy"], m["spin"],
                 100 * m["spin"] / m["base"], 100 * m["spin_busy"], m["base"]))
    print()
    print("the JSON parser's share: a token's header and payload decoded, parsed and read")
    for alg, m in med.items():
        us = 1e6 / m["json_cpu"]
        print("%-6s %.2f us per token, %.1f%% of a login's CPU time (sleep)"
              % (alg, us, 100 * m["ipc_cpu"] / m["json_cpu"]))
    print()
    for alg, r in results.items():
        print("%s rounds per CPU second: logins (sleep) %s; logins (poll) %s; EVP verifies %s"
              % (alg, ", ".join("%.0f" % x for x in r["ipc_cpu"]),
                 ", ".join("%.0f" % x for x in r["spin_cpu"]),
                 ", ".join("%.0f" % x for x in r["base_cpu"])))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--window", type=int, default=64)
    args = ap.parse_args()
    load_before = open("/proc/loadavg").read().split()[:3]
    with idp.TestIdp(users=USERS) as p, tempfile.TemporaryDirectory(prefix="fenra-bench-") as d:
        results = measure(args, p, d)
    load_after = open("/proc/loadavg").read().split()[:3]
    report(args, results, load_before, load_after)


if __name__ == "__main__":
    main()
