#!/usr/bin/env python3
"""The Fenra demo: the daemons' main job, run locally in a private network.

    python3 tools/demo.py [--build DIR] [--keep] [--full-logs]

(tools/demo.sh installs what is missing, builds the release preset and runs
this.) Everything happens inside fresh user, network, mount and PID
namespaces that the script makes for itself: the machine's network, its DNS
settings and its files outside a temporary directory are never touched, no
root is needed, and every process started here ends with the script.

What runs in there:

- NSD serving the zone "test", signed with keys made for each round, behind
  dnsmasq on 127.0.0.53: SRV records _xmpp-server._tcp.a.test and
  _xmpp-server._tcp.b.test, A records for xmpp.a.test (127.0.0.1) and
  xmpp.b.test (127.0.0.2), and in one round TLSA records pinning each
  server's key. Each fenra-s2s validates every answer with DNSSEC, the key of
  "test" as its trust anchor, and uses TLSA records only when they validate;
- two fenra-s2s, a.test on 127.0.0.1:5269 and b.test on 127.0.0.2:5269, with
  certificates of a CA made for the run, each with a core on its IPC socket
  (`fenra-ipc listen`, which prints every frame it receives);
- the test OpenID Connect provider (tests/idp) and fenra-auth-oidc using it.

Six checks: a message crosses from a.test to b.test and back, once
authenticated by server dialback (no TLSA records) and once by DANE and SASL
EXTERNAL (TLSA records, validated as secure); a PLAIN login and an
OAUTHBEARER login succeed. The exit status is 0 when all six pass.
"""

import argparse
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "idp"))
os.environ.setdefault("FENRA_SOURCE", SOURCE)
os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
sys.dont_write_bytecode = True

import fenra_testlib as t  # noqa: E402
import netns  # noqa: E402
import testca  # noqa: E402

DOMAINS = {"a.test": "127.0.0.1", "b.test": "127.0.0.2"}
USERS = {"a.test": "alice", "b.test": "bob"}
PORT = 5269
WAIT = 20.0  # for one message to cross, connection and authentication included

LOGIN_USER = {"username": "alice", "password": "demo password of alice",
              "email": "alice@example.org"}
LOGIN_CLIENT = {"client_id": "fenra-demo", "client_secret": "demo client secret"}

# The lines of fenra-s2s that tell the story of a federated delivery; every
# warning and error is shown as well.
S2S_STORY = (
    "outbound TCP connected to",
    "outbound TLS handshake complete for",
    "no TLSA records for",
    "TLSA _",  # the TLSA answer and its DNSSEC status (secure, insecure, bogus)
    "DANE result for",
    "inbound DANE for",
    "outbound SASL success from",
    "inbound S2S authenticated",
    "outbound dialback key sent to",
    "inbound dialback key submission from",
    "dialback callback: sent db:verify",
    "dialback verify: valid key",
    "verified, inbound session",
    "outbound dialback verified by",
    "fully established",
    "forwarding inbound",
)
AUTH_STORY = ("auth success", "auth failed", "ROPC:", "JWT", "JWKS", "introspection")


# ---------------------------------------------------------------------------
# Output


def say(text=""):
    print(text, flush=True)


def heading(text):
    say()
    say("== " + text)


def shorten(text, limit=160):
    return text if len(text) <= limit else text[:limit - 1] + "\u2026"


def readable(message):
    """A log message as text (log lines are bytes; they are read as latin-1)."""
    try:
        return message.encode("latin-1").decode("utf-8")
    except UnicodeError:
        return message


def show_lines(sources, start, patterns, always=("warn", "error")):
    """Prints the log lines since start (a mark per source) whose message
    contains one of patterns, or whose level is in always, in time order.
    sources: (label, t.Daemon) pairs."""
    picked = []
    for n, (label, d) in enumerate(sources):
        for i, line in enumerate(d.find(start=start[n])):
            if line.level in always or any(p in line.message for p in patterns):
                picked.append((line.timestamp or "", n, i, label, line))
    picked.sort(key=lambda x: x[:3])
    width = max(len(label) for label, _ in sources)
    for stamp, _, _, label, line in picked:
        level = "" if line.level == "info" else line.level.upper() + " "
        say("   %s %-*s | %s%s" % (stamp[11:23], width, label, level,
                                  shorten(readable(line.message))))


# ---------------------------------------------------------------------------
# fenra-ipc output: one frame per line, NAME field="value" ...

FIELD = re.compile(r'(\w+)=(?:"((?:[^"\\]|\\.)*)"|(\S+))')


def unquote(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            if text[i + 1] == "x" and i + 3 < len(text):
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append(text[i + 1])
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def parse_frame_line(line):
    """("InboundStanza", {"from": ..., ...}) from a line of fenra-ipc."""
    name, _, rest = line.partition(" ")
    fields = {}
    for m in FIELD.finditer(rest):
        fields[m.group(1)] = unquote(m.group(2)) if m.group(2) is not None else m.group(3)
    return name, fields


class Core:
    """`fenra-ipc --socket PATH listen`: the core of one domain. Its output
    lines are collected by a thread."""

    def __init__(self, ipc, socket_path):
        self.proc = subprocess.Popen([ipc, "--socket", socket_path, "listen"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.seen = []
        self.errors = []
        threading.Thread(target=self._read, args=(self.proc.stdout, self.lines),
                         daemon=True).start()
        threading.Thread(target=self._read_errors, daemon=True).start()

    @staticmethod
    def _read(stream, q):
        for line in stream:
            q.put(line.rstrip("\n"))

    def _read_errors(self):
        for line in self.proc.stderr:
            self.errors.append(line.rstrip("\n"))

    def wait(self, predicate, timeout):
        """The first line (name, fields, raw) since the last call that
        predicate accepts; lines it passes over are kept in .seen."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                raw = self.lines.get(timeout=min(left, 0.1))
            except queue.Empty:
                if self.proc.poll() is not None and self.lines.empty():
                    return None
                continue
            name, fields = parse_frame_line(raw)
            self.seen.append(raw)
            if predicate(name, fields):
                return name, fields, raw

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# ---------------------------------------------------------------------------
# The federation


def zones(certs, with_tlsa):
    """The zone test., signed for the run; its key is the daemons' trust anchor."""
    z = netns.AuthZone("test")
    for domain, address in DOMAINS.items():
        host = "xmpp." + domain
        z.srv("_xmpp-server._tcp." + domain, host, PORT)
        z.a(host, address)
        z.a(domain, address)
        if with_tlsa:
            z.tlsa(PORT, host, 3, 1, 1, testca.tlsa_data(certs[domain], 1, 1))
    return {"test": z}


def describe_zone(certs, with_tlsa):
    say("   DNS (NSD serving test., signed with keys made for this round, behind dnsmasq")
    say("   on %s; each fenra-s2s validates with the key of test. as its trust anchor):"
        % netns.NAMESERVER)
    for domain, address in DOMAINS.items():
        host = "xmpp." + domain
        say("     _xmpp-server._tcp.%s  SRV 0 0 %d %s" % (domain, PORT, host))
        say("     %s  A %s" % (host, address))
        if with_tlsa:
            data = testca.tlsa_data(certs[domain], 1, 1).hex()
            say("     _%d._tcp.%s  TLSA 3 1 1 %s\u2026" % (PORT, host, data[:24]))
    if not with_tlsa:
        say("     (no TLSA records: the servers cannot use DANE)")


class Server:
    """One domain: fenra-s2s and its core."""

    def __init__(self, build, workdir, domain, cert, trust_anchor):
        self.domain = domain
        self.label = domain
        self.ipc = os.path.join(build, "tools", "fenra-ipc")
        self.socket = os.path.join(workdir, domain + ".sock")
        self.daemon = t.Daemon([os.path.join(build, "s2s", "fenra-s2s"), "--host", domain,
                                "--address", DOMAINS[domain], "--port", str(PORT),
                                "--core-socket", self.socket, "--cert", cert.chain,
                                "--key", cert.key, "--dns-trust-anchor", trust_anchor])
        self.core = None

    def start_core(self):
        # No probe of the socket: the core must be the first connection, so
        # that its "core connected" line is the first one.
        self.daemon.wait_for("fenra-s2s event loop started", timeout=15)
        self.core = Core(self.ipc, self.socket)
        self.daemon.wait_for("core connected via IPC slot=0", timeout=15)
        say("   %s: fenra-s2s listens on %s:%d, its core is `fenra-ipc --socket %s listen`"
            % (self.domain, DOMAINS[self.domain], PORT, os.path.basename(self.socket)))

    def deliver(self, frm, to, stanza):
        """`fenra-ipc deliver`, left running while the message travels."""
        return subprocess.Popen([self.ipc, "--socket", self.socket, "--timeout", "0.2",
                                 "deliver", frm, to, stanza], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def stop(self, logdir):
        if self.core is not None:
            self.core.stop()
        try:
            self.daemon.stop()
        except AssertionError:  # it did not end in time
            self.daemon.kill()
        with open(os.path.join(logdir, "fenra-s2s-%s.log" % self.domain), "w") as f:
            f.write(readable(self.daemon.log_text()) + "\n")


def evidence(method, sender, receiver):
    """What the logs of both servers must show for a message from sender to
    receiver authenticated by method: (label, daemon role, text) triples that
    must appear, and ones that must not."""
    s, r = sender.domain, receiver.domain
    if method == "dialback":
        need = [(sender, "outbound dialback verified by " + r),
                (receiver, "dialback callback: %s verified" % s)]
        never = [(sender, "outbound SASL success from " + r)]
    else:
        need = [(sender, "DANE result for %s: verified" % r),
                (sender, "outbound SASL success from " + r),
                (receiver, "inbound DANE for %s: verified" % s),
                (receiver, "inbound S2S authenticated: remote=" + s)]
        never = [(sender, "outbound dialback key sent to " + r)]
    return need, never


def send_message(method, sender, receiver, n):
    """One message from sender's core to receiver's core; prints its road and
    returns None on success or what went wrong."""
    frm = "%s@%s/demo" % (USERS[sender.domain], sender.domain)
    to = "%s@%s" % (USERS[receiver.domain], receiver.domain)
    msg_id = "%s-%d" % (method, n)
    body = "Hello %s, this is %s (%s)" % (to, frm.split("/")[0], method)
    stanza = ("<message from='%s' to='%s' type='chat' id='%s'><body>%s</body></message>"
              % (frm, to, msg_id, body))
    say()
    say("-- %s -> %s" % (frm, to))
    say("   the core of %s hands fenra-s2s (fenra-ipc deliver):" % sender.domain)
    say("     " + stanza)
    sources = [(sender.label, sender.daemon), (receiver.label, receiver.daemon)]
    marks = [sender.daemon.mark(), receiver.daemon.mark()]
    started = time.monotonic()
    request = sender.deliver(frm, to, stanza)

    def arrived(name, fields):
        return name == "InboundStanza" and ("id='%s'" % msg_id) in fields.get("stanza", "")

    got, failure = None, None
    deadline = time.monotonic() + WAIT
    while got is None and failure is None and time.monotonic() < deadline:
        got = receiver.core.wait(arrived, 0.2)
        f = sender.core.wait(lambda name, fields: name == "DeliveryFailed" and
                             fields.get("to") == to, 0.01)
        if f is not None:
            failure = "fenra-s2s of %s reported DeliveryFailed: %s" % (
                sender.domain, f[1].get("condition"))
    elapsed = time.monotonic() - started
    out, err = request.communicate(timeout=30)
    if request.returncode != 0 or out:
        say("   fenra-ipc deliver: status %d %s %s" % (request.returncode, out.strip(),
                                                      err.strip()))
    if request.returncode != 0:
        return "the delivery request could not be sent"
    need, never = evidence(method, sender, receiver)
    if got is not None:  # the last lines may still be on their way to the reader
        for server, text in need:
            try:
                server.daemon.wait_for(text, timeout=3)
            except AssertionError:
                pass
    show_lines(sources, marks, S2S_STORY)
    if got is not None and not sender.daemon.find("outbound TCP connected to", start=marks[0]):
        say("   (%s reused its stream to %s: it opened and authenticated it for the"
            % (sender.domain, receiver.domain))
        say("   dialback callback of the first message)" if method == "dialback" else
            "   first message)")
    if got is None:
        return failure or "the message did not reach the core of %s within %.0f s" % (
            receiver.domain, WAIT)
    _, fields, raw = got
    say("   the core of %s received (fenra-ipc listen):" % receiver.domain)
    say("     " + shorten(raw, 400))
    problems = []
    try:
        elem = ET.fromstring(fields["stanza"])
        if elem.findtext("body") != body:
            problems.append("the body changed: %r" % elem.findtext("body"))
        if elem.get("from") != frm or elem.get("to") != to:
            problems.append("from/to changed: %r/%r" % (elem.get("from"), elem.get("to")))
    except ET.ParseError as e:
        problems.append("the stanza is not well-formed XML: %s" % e)
    if fields.get("from") != frm or fields.get("to") != to:
        problems.append("the core was told from=%r to=%r" % (fields.get("from"), fields.get("to")))
    for server, text in need:
        if not server.daemon.find(text):
            problems.append("no log line %r at %s" % (text, server.domain))
    for server, text in never:
        if server.daemon.find(text):
            problems.append("unexpected log line %r at %s" % (text, server.domain))
    if problems:
        return "; ".join(problems)
    say("   arrived intact after %.2f s, authenticated by %s" % (
        elapsed, "server dialback" if method == "dialback" else "DANE + SASL EXTERNAL"))
    return None


def federation_round(build, workdir, certs, method, first_check):
    """Both directions with one DNS zone; returns [(name, problem or None)]."""
    with_tlsa = method == "dane"
    if not with_tlsa:
        heading("Round 1: server dialback (no TLSA records)")
        say("   Without TLSA records a server cannot check its peer's certificate, so the")
        say("   receiving server verifies the sender by dialback: the sender presents a key,")
        say("   and the receiver asks the sender's own server, found through DNS, whether")
        say("   the key is right.")
    else:
        heading("Round 2: DANE + SASL EXTERNAL (TLSA records pin each server's key)")
        say("   With TLSA records each server checks the other's certificate against DNS")
        say("   (DANE), and the sender authenticates with SASL EXTERNAL: no callback.")
    describe_zone(certs, with_tlsa)
    rounddir = os.path.join(workdir, method)
    os.makedirs(rounddir)
    results = []
    with netns.SignedDns(zones(certs, with_tlsa), rounddir) as dns:
        servers = []
        try:
            for domain in DOMAINS:
                servers.append(Server(build, rounddir, domain, certs[domain], dns.trust_anchor))
            for s in servers:
                s.start_core()
            a, b = servers
            for n, (x, y) in enumerate(((a, b), (b, a))):
                name = "%s %s -> %s" % ("dialback" if method == "dialback" else "DANE",
                                        x.domain, y.domain)
                problem = send_message(method, x, y, first_check + n)
                if problem:
                    say("   FAILED: " + problem)
                results.append((name, problem))
        except (AssertionError, RuntimeError, OSError, subprocess.SubprocessError) as e:
            say("   FAILED: " + str(e).splitlines()[0])
            while len(results) < 2:
                results.append(("%s round, message %d" % (method, len(results) + 1), str(e)))
        finally:
            for s in servers:
                for line in (s.core.seen if s.core else []):
                    if not line.startswith("InboundStanza") or "id='%s-" % method not in line:
                        say("   the core of %s also received: %s" % (s.domain,
                                                                      shorten(line, 200)))
                s.stop(rounddir)
    return results


# ---------------------------------------------------------------------------
# The logins


def start_provider(box):
    """Starts the test identity provider (in a thread, while the federation
    rounds run)."""
    import idp
    try:
        p = idp.TestIdp(users=[LOGIN_USER], clients=[LOGIN_CLIENT])
        box["idp"] = p.__enter__()
    except Exception as e:  # reported by logins()
        box["error"] = e


def logins(build, workdir, box, thread):
    heading("Logins: fenra-auth-oidc checks them with the OpenID Connect provider")
    thread.join(60)
    if "idp" not in box:
        problem = "the test identity provider did not start: %s" % box.get("error", "time-out")
        say("   FAILED: " + problem)
        return [("PLAIN login", problem), ("OAUTHBEARER login", problem)]
    p = box["idp"]
    results = []
    try:
        d = os.path.join(workdir, "auth")
        os.makedirs(d)
        config = os.path.join(d, "fenra.conf")
        socket_path = os.path.join(d, "auth.sock")
        with open(config, "w") as f:
            f.write("[oidc]\nissuer = %s\nclient_id = %s\nclient_secret = %s\n"
                    "token_endpoint = %s\njwks_uri = %s\nintrospection_endpoint = %s\n"
                    "ca_file = %s\n" % (p.issuer, p.client_id, p.client_secret,
                                        p.token_endpoint, p.jwks_uri,
                                        p.introspection_endpoint, p.ca_file))
        say("   provider: %s (test provider of tests/idp, on loopback)" % p.issuer)
        say("   fenra.conf [oidc]: issuer, client_id = %s, client_secret, token_endpoint,"
            % p.client_id)
        say("                      jwks_uri, introspection_endpoint, ca_file")
        auth = t.Daemon([os.path.join(build, "auth", "fenra-auth-oidc"), "--config", config,
                         "--socket", socket_path])
        try:
            auth.wait_for("IPC server listening on", timeout=15)
            t.wait_for_socket(socket_path, 15)
            ipc = os.path.join(build, "tools", "fenra-ipc")
            user = LOGIN_USER["username"]
            results.append(("PLAIN login", login(
                auth, "PLAIN", "fenra-ipc auth plain %s   (password on standard input)" % user,
                [ipc, "--socket", socket_path, "--address", "127.0.0.1", "--account", user,
                 "auth", "plain", user], LOGIN_USER["password"] + "\n", user)))
            token = p.access_token(user, resource="urn:fenra:rs256")
            results.append(("OAUTHBEARER login", login(
                auth, "OAUTHBEARER",
                "fenra-ipc auth oauthbearer %s\u2026   (a JWT of %d bytes, signed RS256)"
                % (token[:16], len(token)),
                [ipc, "--socket", socket_path, "--address", "127.0.0.1", "auth",
                 "oauthbearer", token], None, user)))
        finally:
            try:
                auth.stop()
            except AssertionError:
                auth.kill()
            with open(os.path.join(d, "fenra-auth-oidc.log"), "w") as f:
                f.write(readable(auth.log_text()) + "\n")
    except (AssertionError, RuntimeError, OSError, subprocess.SubprocessError) as e:
        say("   FAILED: " + str(e).splitlines()[0])
        while len(results) < 2:
            results.append((("PLAIN login", "OAUTHBEARER login")[len(results)], str(e)))
    finally:
        p.__exit__(None, None, None)
    return results


def login(auth, mechanism, shown, argv, stdin, user):
    say()
    say("-- %s login of %s" % (mechanism, user))
    say("   " + shown)
    mark = auth.mark()
    r = subprocess.run(argv, input=stdin if stdin is not None else "", capture_output=True,
                       text=True, timeout=60)
    try:
        auth.wait_for("auth ", start=mark, timeout=5, scope="auth_handler")
    except AssertionError:
        pass
    show_lines([("fenra-auth-oidc", auth)], [mark], AUTH_STORY)
    for line in r.stdout.splitlines():
        say("   answer: " + line)
    for line in r.stderr.splitlines():
        say("   fenra-ipc: " + line)
    want = 'AuthSuccess id=1 username="%s"' % user
    if r.returncode != 0 or not r.stdout.startswith(want):
        return "expected %s..., got status %d" % (want, r.returncode)
    say("   logged in as %s" % user)
    return None


# ---------------------------------------------------------------------------


def enter_namespaces():
    """Re-runs this script inside new user, network, mount and PID
    namespaces (the PID namespace ends every process left when the script
    ends), and exits with its status."""
    if netns.in_namespace():
        netns.enter()  # sets up lo, resolv.conf and hosts inside
        return
    for tool in ("unshare", "ip", "mount", "dnsmasq", "nsd", "ldns-signzone", "openssl", "node"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            say("demo: %s is not installed (tools/install-deps.sh installs it)" % tool)
            sys.exit(1)
    unshare = ["unshare", "--user", "--map-root-user", "--net", "--mount", "--pid", "--fork",
               "--kill-child", "--mount-proc", "--propagation", "private", "--"]
    probe = subprocess.run(unshare + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        say("demo: cannot make a private network here: %s" % probe.stderr.strip())
        say("demo: unprivileged user namespaces must be enabled "
            "(sysctl kernel.unprivileged_userns_clone=1)")
        sys.exit(1)
    env = dict(os.environ, FENRA_NETNS="1")
    sys.stdout.flush()
    sys.exit(subprocess.call(unshare + [sys.executable] + sys.argv, env=env,
                             stdin=subprocess.DEVNULL))


def main():
    ap = argparse.ArgumentParser(description="Run the Fenra demo (see the top of this file).")
    ap.add_argument("--build", default=os.path.join(SOURCE, "build", "release"),
                    help="the build directory (default: build/release)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory and its logs")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["FENRA_BUILD"] = build
    for rel in ("s2s/fenra-s2s", "auth/fenra-auth-oidc", "tools/fenra-ipc"):
        if not os.access(os.path.join(build, rel), os.X_OK):
            say("demo: %s is missing: build first (tools/demo.sh does)" % os.path.join(build, rel))
            return 1
    if not netns.in_namespace():
        say("demo: starting a private network (user, network, mount and PID namespaces)")
    enter_namespaces()

    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="fenra-demo-", dir="/tmp")
    say("Fenra demo. fenra-s2s federates XMPP domains; fenra-auth-oidc checks client")
    say("logins with an OpenID Connect provider. Both serve the suite's core server,")
    say("fenra-core, over a Unix socket; here `fenra-ipc` plays the core. Everything")
    say("runs in a private network: a.test on 127.0.0.1, b.test on 127.0.0.2, DNS on")
    say("127.0.0.53. Log lines below: time, the daemon that wrote them, the message.")
    say("   work directory: %s" % workdir)
    box = {}
    provider = threading.Thread(target=start_provider, args=(box,), daemon=True)
    provider.start()
    results = []
    try:
        heading("Certificates: a CA made for this run issues one per domain")
        ca = testca.TestCA(workdir, "Fenra Demo CA")
        certs = {d: ca.issue(d, ["xmpp." + d, d]) for d in DOMAINS}
        for d in DOMAINS:
            say("   %s: subjectAltName DNS:xmpp.%s, DNS:%s; serverAuth + clientAuth" % (d, d, d))
        results += federation_round(build, workdir, certs, "dialback", 1)
        results += federation_round(build, workdir, certs, "dane", 3)
        results += logins(build, workdir, box, provider)
    finally:
        t.cleanup_dirs()
        failed = [name for name, problem in results if problem]
        if failed or args.keep:
            say()
            say("the daemons' full logs are in " + workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    elapsed = time.monotonic() - started
    say()
    if failed or len(results) != 6:
        say("demo: %d of 6 checks passed in %.1f s; failed: %s" % (
            len(results) - len(failed), elapsed, ", ".join(failed) or "(not run)"))
        return 1
    say("demo: all 6 checks passed in %.1f s" % elapsed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
