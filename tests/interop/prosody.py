"""Prosody as a federation peer in the interop world.

    p = Prosody(workdir, "b.test", "127.0.0.2", cert, cafile=None)
    p.start()                 # writes the config, runs prosody in the foreground
    p.register("bob", "secret")
    ...
    p.stop()

The server runs as this process's child with its own configuration file:
run_as_root (the tests run as real root inside their namespace), no
daemonising, its own pid file, data directory and log file (every debug line,
so the XML it exchanged can be shown when a cell fails). Apart from what a
test needs (addresses, ports, certificates, the DNS settings below) the
packaged defaults stay: encryption required on every stream, dialback and
SASL EXTERNAL as shipped.

Prosody resolves through libunbound, which refuses the .test zone and a
resolver on 127.x unless told otherwise; the unbound options below make it
ask the namespace's dnsmasq through resolv.conf.
"""

import os
import re
import shutil
import subprocess

from peer import PeerServer, read_text

PROSODY = "/usr/bin/prosody"
PROSODYCTL = "/usr/bin/prosodyctl"
_ENTRY = re.compile(r"^[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d ")


def available():
    return os.access(PROSODY, os.X_OK) and os.access(PROSODYCTL, os.X_OK)


def _lua(s):
    return '"%s"' % s.replace("\\", "\\\\").replace('"', '\\"')


class Prosody(PeerServer):
    """One Prosody server for one domain.

    cert: a testca.Cert for the domain (its chain and key are served).
    cafile: when given, Prosody trusts that CA for server-to-server
    certificates (s2s_ssl cafile) and requires valid certificates
    (s2s_secure_auth, the packaged Debian setting); without it, remote
    certificates cannot be verified, so s2s_secure_auth is off and peers
    authenticate by dialback.
    direct_tls_port: also listen for server-to-server streams with TLS from
    the first byte on this port."""

    name = "prosody"

    def __init__(self, workdir, domain, address, cert, cafile=None, c2s_port=5222,
                 s2s_port=5269, direct_tls_port=None):
        super().__init__(domain, address, c2s_port, s2s_port, direct_tls_port)
        self.cert = cert
        self.cafile = cafile
        self.dir = os.path.join(workdir, "prosody-" + domain)
        self.data = os.path.join(self.dir, "data")
        self.config = os.path.join(self.dir, "prosody.cfg.lua")
        self.log_path = os.path.join(self.dir, "prosody.log")
        os.makedirs(self.data, exist_ok=True)
        self._write_config()

    def _write_config(self):
        crt = os.path.join(self.dir, "server.crt")
        key = os.path.join(self.dir, "server.key")
        shutil.copyfile(self.cert.chain, crt)
        shutil.copyfile(self.cert.key, key)
        os.chmod(key, 0o600)
        lines = [
            "run_as_root = true",
            "daemonize = false",
            "pidfile = %s" % _lua(os.path.join(self.dir, "prosody.pid")),
            "data_path = %s" % _lua(self.data),
            "log = { debug = %s }" % _lua(self.log_path),
            "interfaces = { %s }" % _lua(self.address),
            "local_interfaces = { %s }" % _lua(self.address),
            "c2s_ports = { %d }" % self.c2s_port,
            "s2s_ports = { %d }" % self.s2s_port,
            "s2s_direct_tls_ports = { %s }" % (
                "%d" % self.direct_tls_port if self.direct_tls_port else ""),
            "admin_interfaces = { }",
            "http_ports = { }",
            "https_ports = { }",
            "c2s_direct_tls_ports = { }",
            "authentication = \"internal_hashed\"",
            "modules_enabled = { \"disco\"; \"roster\"; \"saslauth\"; \"tls\"; \"dialback\";"
            " \"limits\"; \"ping\"; \"time\"; \"version\"; \"posix\" }",
            "modules_disabled = { \"s2s_bidi\" }",
            "limits = { c2s = { rate = \"200kb/s\" }; s2sin = { rate = \"200kb/s\" } }",
            "unbound = { resolvconf = true; options = {"
            " [\"domain-insecure:\"] = \"test\";"
            " [\"local-zone:\"] = \"test. transparent\";"
            " [\"do-not-query-localhost:\"] = \"no\" } }",
            "ssl = { certificate = %s; key = %s }" % (_lua(crt), _lua(key)),
        ]
        if self.cafile:
            ca = os.path.join(self.dir, "ca.pem")
            shutil.copyfile(self.cafile, ca)
            lines.append("s2s_ssl = { cafile = %s }" % _lua(ca))
            lines.append("s2s_secure_auth = true")
        else:
            lines.append("s2s_secure_auth = false")
        lines += [
            "VirtualHost %s" % _lua(self.domain),
            "    ssl = { certificate = %s; key = %s }" % (_lua(crt), _lua(key)),
        ]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")

    def start_process(self):
        self._log_file = open(os.path.join(self.dir, "prosody.out"), "ab")
        self.proc = subprocess.Popen([PROSODY, "--config", self.config],
                                     stdin=subprocess.DEVNULL, stdout=self._log_file,
                                     stderr=subprocess.STDOUT, cwd=self.dir)

    def register(self, user, password):
        p = subprocess.run([PROSODYCTL, "--config", self.config, "register", user, self.domain,
                            password], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=60, cwd=self.dir)
        if p.returncode != 0:
            raise RuntimeError("prosodyctl register %s@%s failed: %s"
                               % (user, self.domain, p.stdout.decode(errors="replace")))

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        self._log_file.close()

    def log(self):
        return read_text(self.log_path)

    def wire_log(self, limit=200):
        """The server-to-server entries of the log: the XML sent and received
        on s2s streams, dialback and SASL steps, warnings and errors."""
        entries = []
        for line in self.log().splitlines():
            if entries and not _ENTRY.match(line):
                entries[-1] += "\n" + line
            else:
                entries.append(line)
        keep = [e for e in entries
                if not e.split("\t", 1)[0].endswith("portmanager")
                and ("s2s" in e or "dialback" in e or "saslauth" in e
                     or "\twarn\t" in e or "\terror\t" in e)]
        return "\n".join(keep[-limit:])
