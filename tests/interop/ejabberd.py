"""ejabberd as a federation peer in the interop world.

    e = Ejabberd(workdir, "c.test", "127.0.0.3", cert, cafile=None)
    e.start()                 # its own node, as the ejabberd user
    e.register("carol", "secret")
    ...
    e.stop()

The packaged ejabberdctl.cfg fixes the configuration path, so the node runs
with an ejabberdctl configuration of its own (--ctl-config) naming its own
node, cookie, pid file and an Erlang distribution port: with that port set,
neither the node nor ejabberdctl's commands start or ask an epmd, so nothing
is left running after stop(). ejabberdctl switches to the ejabberd user
itself (which needs real root); every file the node reads or writes lives in
this object's directory.

The server configuration keeps the packaged security defaults that matter
here (s2s_use_starttls: required, dialback enabled, the TLS options); it
serves only the test domain, on the test address, with the test
certificate. cafile: the CA ejabberd trusts for server certificates (needed
for it to accept SASL EXTERNAL); without it remote certificates cannot be
verified. direct_tls_port: an extra s2s listener with TLS from the first
byte. After a failed outgoing connection ejabberd waits before it tries the
same domain again, up to s2s_max_retry_delay seconds; that is set short so
that one failing case does not hold up the next.
"""

import os
import pwd
import re
import shutil
import subprocess

from peer import PeerServer, read_text

EJABBERDCTL = "/usr/sbin/ejabberdctl"
ERL = "/usr/bin/erl"
USER = "ejabberd"
_ENTRY = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
_STREAM_PID = re.compile(r"\((?:tcp|tls)\|(<[0-9.]+>)\)")


def available():
    if not (os.access(EJABBERDCTL, os.X_OK) and os.access(ERL, os.X_OK)):
        return False
    try:
        pwd.getpwnam(USER)
    except KeyError:
        return False
    return True


class Ejabberd(PeerServer):
    name = "ejabberd"

    def __init__(self, workdir, domain, address, cert, cafile=None, c2s_port=5222,
                 s2s_port=5269, direct_tls_port=None, dist_port=4370, loglevel="debug"):
        super().__init__(domain, address, c2s_port, s2s_port, direct_tls_port)
        self.cert = cert
        self.cafile = cafile
        self.dist_port = dist_port
        self.loglevel = loglevel
        self.dir = os.path.join(workdir, "ejabberd-" + domain)
        self.spool = os.path.join(self.dir, "spool")
        self.logs = os.path.join(self.dir, "logs")
        self.config = os.path.join(self.dir, "ejabberd.yml")
        self.ctl_config = os.path.join(self.dir, "ejabberdctl.cfg")
        self.node = "fenra-interop@localhost"
        ent = pwd.getpwnam(USER)
        os.makedirs(self.spool, exist_ok=True)
        os.makedirs(self.logs, exist_ok=True)
        for d in (self.dir, self.spool, self.logs):
            os.chown(d, ent.pw_uid, ent.pw_gid)
            os.chmod(d, 0o750)
        self._write_files(ent)

    def _write_files(self, ent):
        pem = os.path.join(self.dir, "server.pem")
        with open(pem, "wb") as out:
            for p in (self.cert.chain, self.cert.key):
                with open(p, "rb") as f:
                    out.write(f.read())
        files = [pem]
        ca_line = ""
        if self.cafile:
            ca = os.path.join(self.dir, "ca.pem")
            shutil.copyfile(self.cafile, ca)
            files.append(ca)
            ca_line = "ca_file: \"%s\"\n" % ca
        listeners = [
            "  -\n    port: %d\n    ip: \"%s\"\n    module: ejabberd_c2s\n"
            "    starttls_required: true\n    protocol_options: 'TLS_OPTIONS'\n"
            "    max_stanza_size: 524288\n"
            % (self.c2s_port, self.address),
            "  -\n    port: %d\n    ip: \"%s\"\n    module: ejabberd_s2s_in\n"
            "    max_stanza_size: 524288\n" % (self.s2s_port, self.address),
        ]
        if self.direct_tls_port:
            listeners.append(
                "  -\n    port: %d\n    ip: \"%s\"\n    module: ejabberd_s2s_in\n"
                "    tls: true\n    max_stanza_size: 524288\n"
                % (self.direct_tls_port, self.address))
        yml = (
            "loglevel: %s\n"
            "log_rotate_count: 0\n"
            "hosts:\n  - \"%s\"\n"
            "certfiles:\n  - \"%s\"\n"
            "%s"
            "define_macro:\n"
            "  'TLS_CIPHERS': \"HIGH:!aNULL:!eNULL:!3DES:@STRENGTH\"\n"
            "  'TLS_OPTIONS':\n    - \"no_sslv3\"\n    - \"no_tlsv1\"\n    - \"no_tlsv1_1\"\n"
            "    - \"cipher_server_preference\"\n    - \"no_compression\"\n"
            "c2s_ciphers: 'TLS_CIPHERS'\n"
            "s2s_ciphers: 'TLS_CIPHERS'\n"
            "c2s_protocol_options: 'TLS_OPTIONS'\n"
            "s2s_protocol_options: 'TLS_OPTIONS'\n"
            "s2s_use_starttls: required\n"
            "s2s_max_retry_delay: 2\n"
            "outgoing_s2s_families:\n  - ipv4\n"
            "listen:\n%s"
            "disable_sasl_mechanisms:\n  - \"digest-md5\"\n  - \"X-OAUTH2\"\n"
            "auth_password_format: scram\n"
            "acl:\n  local:\n    user_regexp: \"\"\n"
            "access_rules:\n  local:\n    allow: local\n  c2s:\n    allow: all\n"
            "shaper:\n  normal:\n    rate: 3000\n    burst_size: 20000\n  fast: 200000\n"
            "shaper_rules:\n  max_user_sessions: 10\n  c2s_shaper:\n    fast: all\n"
            "  s2s_shaper: fast\n"
            "modules:\n  mod_disco: {}\n  mod_ping: {}\n  mod_roster: {}\n"
            "  mod_s2s_dialback: {}\n  mod_version: {}\n"
        ) % (self.loglevel, self.domain, pem, ca_line, "".join(listeners))
        with open(self.config, "w") as f:
            f.write(yml)
        files.append(self.config)
        with open(os.path.join(self.dir, "inetrc"), "w") as f:
            f.write('{lookup,["file","native"]}.\n'
                    '{host,{127,0,0,1}, ["localhost"]}.\n'
                    '{file, resolv, "/etc/resolv.conf"}.\n')
        files.append(os.path.join(self.dir, "inetrc"))
        with open(self.ctl_config, "w") as f:
            f.write("ERLANG_NODE=%s\n" % self.node)
            f.write("ERL_DIST_PORT=%d\n" % self.dist_port)
            f.write("INET_DIST_INTERFACE=127.0.0.1\n")
            f.write("ERL_OPTIONS=\"-env ERL_CRASH_DUMP_BYTES 0 -setcookie fenra-interop\"\n")
            f.write("EJABBERD_PID_PATH=%s\n" % os.path.join(self.dir, "ejabberd.pid"))
            f.write("CONTRIB_MODULES_CONF_DIR=%s\n" % os.path.join(self.dir, "modules.d"))
            f.write("EJABBERD_BYPASS_WARNINGS=true\n")
        files.append(self.ctl_config)
        for p in files:
            os.chown(p, ent.pw_uid, ent.pw_gid)
            os.chmod(p, 0o640)

    def _ctl(self, *args):
        return [EJABBERDCTL, "--config-dir", self.dir, "--ctl-config", self.ctl_config,
                "--config", self.config, "--logs", self.logs, "--spool", self.spool] + list(args)

    def start_process(self):
        self._out = open(os.path.join(self.dir, "foreground.out"), "ab")
        self.proc = subprocess.Popen(self._ctl("foreground"), stdin=subprocess.DEVNULL,
                                     stdout=self._out, stderr=subprocess.STDOUT,
                                     start_new_session=True)

    def ctl(self, *args, timeout=60):
        p = subprocess.run(self._ctl(*args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode(errors="replace")

    def register(self, user, password):
        rc, out = self.ctl("register", user, self.domain, password)
        if rc != 0 and "already registered" not in out:
            raise RuntimeError("ejabberdctl register %s@%s failed (%d): %s"
                               % (user, self.domain, rc, out))

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.ctl("stop", timeout=60)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                # The whole session: ejabberdctl, su and the Erlang VM.
                os.killpg(self.proc.pid, 9)
                self.proc.wait()
        self.proc = None
        self._out.close()

    def log(self):
        return read_text(os.path.join(self.logs, "ejabberd.log"))

    def log_tail(self, lines=80):
        text = self.log() + "\n--- console ---\n" + read_text(
            os.path.join(self.dir, "foreground.out"))
        return "\n".join(text.splitlines()[-lines:])

    def wire_log(self, limit=200):
        """The server-to-server entries of the log: the XML sent and received
        on s2s streams (client streams left out), s2s connection steps,
        dialback, warnings and errors."""
        entries = []
        for line in self.log().splitlines():
            if entries and not _ENTRY.match(line):
                entries[-1] += "\n" + line
            else:
                entries.append(line)
        clients = set()
        for e in entries:
            m = _STREAM_PID.search(e)
            if m and "Received XML on stream" in e and "jabber:client" in e:
                clients.add(m.group(1))
        keep = []
        for e in entries:
            m = _STREAM_PID.search(e)
            if (m and m.group(1) in clients) or "supervisor" in e or "Running hook" in e:
                continue
            if any(k in e for k in ("XML on stream", "ejabberd_s2s", "s2s_dialback",
                                    "[warning]", "[error]")):
                keep.append(e)
        return "\n".join(keep[-limit:])
