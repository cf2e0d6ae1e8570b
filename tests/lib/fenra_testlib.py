"""Helpers for Fenra's integration tests (Python 3 standard library only).

Import it from a test script with

    sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
    import fenra_testlib as t

What it offers:

- binary(name): path of a built program ("fenra-s2s", "fenra-auth-oidc",
  "fenra-ipc") under $FENRA_BUILD.
- temp_dir(): a fresh directory with a short path (Unix socket paths must stay
  under 104 bytes), removed by cleanup_dirs() or at interpreter exit.
- Daemon: starts a program with a fresh temp dir, collects its standard error
  line by line, and waits for log lines with a deadline; stop() sends a signal
  and returns the exit status.
- parse_log_line(): splits "2026-03-02T09:05:07.042 info(scope): message".
- loopback_address(), free_port(), listener(): loopback addresses and ports
  picked at run time, so that tests never collide with each other.
- IpcClient plus frame builders and a decoder for the IPC frame format: a
  u32 little-endian payload length, then the type byte and the body.

Certificates come from testca.py, scripted XMPP peers from xmpp_peer.py, and
fenra-s2s worlds (daemons, cores, DNS) from s2s_world.py.

Every wait has a deadline, and a failed wait raises AssertionError with the
daemon's log attached, so a broken test says what the daemon wrote.
"""

import atexit
import base64
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

DEFAULT_TIMEOUT = 30.0

# ---------------------------------------------------------------------------
# Paths and directories


def build_dir():
    return os.environ["FENRA_BUILD"]


def source_dir():
    return os.environ["FENRA_SOURCE"]


_BINARIES = {
    "fenra-s2s": ("s2s", "fenra-s2s"),
    "fenra-auth-oidc": ("auth", "fenra-auth-oidc"),
    "fenra-ipc": ("tools", "fenra-ipc"),
}


def binary(name):
    """Path of a built program of this repository."""
    sub, exe = _BINARIES[name]
    return os.path.join(build_dir(), sub, exe)


_dirs = []


def temp_dir(prefix="fenra-"):
    """A new empty directory under /tmp (short enough for socket paths)."""
    d = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    _dirs.append(d)
    return d


def cleanup_dirs():
    while _dirs:
        shutil.rmtree(_dirs.pop(), ignore_errors=True)


atexit.register(cleanup_dirs)

# ---------------------------------------------------------------------------
# Log lines

LOG_LINE = re.compile(
    rb"^(\d{4,}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}) (error|warn|info)\(([^)]*)\): (.*)$", re.S
)


class LogLine:
    """One parsed log line; fields are str (decoded as latin-1, byte for byte)."""

    def __init__(self, raw):
        self.raw = raw  # bytes, without the newline
        m = LOG_LINE.match(raw)
        if m:
            self.timestamp, self.level, self.scope, self.message = (
                g.decode("latin-1") for g in m.groups()
            )
        else:
            self.timestamp = self.level = self.scope = None
            self.message = raw.decode("latin-1")

    def __repr__(self):
        return "LogLine(%r)" % self.raw


def parse_log_line(raw):
    return LogLine(raw.rstrip(b"\n") if isinstance(raw, bytes) else raw.encode("latin-1"))


def _matches(line, text, level, scope, regex):
    if level is not None and line.level != level:
        return False
    if scope is not None and line.scope != scope:
        return False
    if text is None:
        return True
    if regex:
        return re.search(text, line.message) is not None
    return text in line.message


# ---------------------------------------------------------------------------
# Daemons


class Daemon:
    """A running program whose standard error is collected line by line.

    Daemon([binary("fenra-s2s"), "--port", "0"]) starts at once. The object
    has a fresh directory in .dir. Use it as a context manager, or call
    stop()/kill(), so that no process outlives its test.
    """

    def __init__(self, argv, *, env=None, pass_fds=(), close_stderr=False, cwd=None):
        self.argv = [str(a) for a in argv]
        self.dir = temp_dir()
        self.lines = []  # LogLine, in arrival order
        self.stdout = b""
        self._cond = threading.Condition()
        self._stderr_done = close_stderr
        preexec = (lambda: os.close(2)) if close_stderr else None
        self.proc = subprocess.Popen(
            self.argv,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=None if close_stderr else subprocess.PIPE,
            env=env,
            cwd=cwd or self.dir,
            pass_fds=tuple(pass_fds),
            preexec_fn=preexec,
        )
        self._threads = [threading.Thread(target=self._read_stdout, daemon=True)]
        if not close_stderr:
            self._threads.append(threading.Thread(target=self._read_stderr, daemon=True))
        for th in self._threads:
            th.start()

    @property
    def pid(self):
        return self.proc.pid

    def _read_stdout(self):
        data = self.proc.stdout.read()
        self.proc.stdout.close()
        with self._cond:
            self.stdout = data
            self._cond.notify_all()

    def _read_stderr(self):
        for raw in iter(self.proc.stderr.readline, b""):
            with self._cond:
                self.lines.append(parse_log_line(raw))
                self._cond.notify_all()
        self.proc.stderr.close()
        with self._cond:
            self._stderr_done = True
            self._cond.notify_all()

    def log_text(self):
        with self._cond:
            return "\n".join(l.raw.decode("latin-1") for l in self.lines)

    def find(self, text=None, *, level=None, scope=None, regex=False, start=0):
        """The log lines (from index start) that match, without waiting."""
        with self._cond:
            return [
                l for l in self.lines[start:] if _matches(l, text, level, scope, regex)
            ]

    def wait_for(self, text=None, *, level=None, scope=None, regex=False, start=0,
                 timeout=DEFAULT_TIMEOUT):
        """Waits for a log line whose message contains text (or matches the
        regex); returns it. Fails when the deadline passes or the output ends."""
        deadline = time.monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.lines):
                    if _matches(self.lines[i], text, level, scope, regex):
                        return self.lines[i]
                    i += 1
                if self._stderr_done and i >= len(self.lines):
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(min(left, 0.5))
        raise AssertionError(
            "no log line %r (level=%s scope=%s) within %.0fs; exit=%s; log:\n%s"
            % (text, level, scope, timeout, self.proc.poll(), self.log_text())
        )

    def mark(self):
        """Index of the next line, for wait_for(start=...)."""
        with self._cond:
            return len(self.lines)

    def send_signal(self, sig):
        self.proc.send_signal(sig)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the process to end and its output to be read; returns the
        exit status (negative: killed by that signal)."""
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("process did not exit within %.0fs; log:\n%s"
                                 % (timeout, self.log_text()))
        for th in self._threads:
            th.join(timeout)
        return rc

    def stop(self, sig=signal.SIGTERM, timeout=DEFAULT_TIMEOUT):
        """Sends sig (SIGTERM by default) and returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait_exit(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(DEFAULT_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        return False


def run_to_exit(argv, timeout=DEFAULT_TIMEOUT, **kwargs):
    """Runs a program that is expected to end by itself; returns the Daemon
    after it exited (exit status in .returncode, output in .stdout, .lines)."""
    d = Daemon(argv, **kwargs)
    try:
        d.returncode = d.wait_exit(timeout)
    finally:
        d.kill()
    return d


# ---------------------------------------------------------------------------
# Loopback addresses and ports


def loopback_address():
    """A random address in 127.0.0.0/8 (not 127.0.0.1), so that parallel
    tests rarely share an address and port."""
    return "127.%d.%d.%d" % (random.randint(1, 254), random.randint(1, 254), random.randint(1, 254))


def free_port(address="127.0.0.1"):
    """A TCP port that was free on address a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def listener(address="127.0.0.1", port=0, backlog=128):
    """A listening TCP socket (inheritable, e.g. for --listen-fd with pass_fds)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port))
    s.listen(backlog)
    s.set_inheritable(True)
    return s


def cpu_seconds_while_sleeping(pid, seconds=2.0):
    """The CPU time (user and system) process pid uses while the caller
    sleeps for seconds: a daemon that waits for nothing uses next to none."""
    def used():
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    before = used()
    time.sleep(seconds)
    return used() - before


def wait_until(predicate, timeout=DEFAULT_TIMEOUT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("%s not reached within %.0fs" % (what, timeout))


# ---------------------------------------------------------------------------
# IPC frames

AUTH_REQUEST = 1
AUTH_CHALLENGE = 2
AUTH_SUCCESS = 3
AUTH_FAILURE = 4
AUTH_RESPONSE = 5
DELIVERY_REQUEST = 16
INBOUND_STANZA = 17
DELIVERY_FAILED = 18

MECH_PLAIN = 1
MECH_SCRAM = 2
MECH_OAUTHBEARER = 3


def _b(v):
    return v.encode() if isinstance(v, str) else bytes(v)


def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def string(v):
    v = _b(v)
    return struct.pack("<H", len(v)) + v


def frame(msg_type, body=b""):
    """A whole frame: length, type byte, body."""
    payload = u8(msg_type) + body
    return u32(len(payload)) + payload


def delivery_request(frm, to, stanza):
    return frame(DELIVERY_REQUEST, string(frm) + string(to) + string(stanza))


def auth_request(conn_id, mechanism, initial=b"", address=b"", account=b"", flag=0,
                 reserved=b""):
    return frame(AUTH_REQUEST, u32(conn_id) + u8(mechanism) + string(address) + u8(flag)
                 + string(reserved) + string(account) + string(initial))


def auth_response(conn_id, data=b""):
    return frame(AUTH_RESPONSE, u32(conn_id) + string(data))


# Body layouts: U u32, B u8, S string, T optional last string, C type-12 list.
_LAYOUT = {1: "UBSBSSS", 2: "US", 3: "USST", 4: "US", 5: "US", 6: "USSSS", 7: "UBS",
           8: "USS", 9: "UBS", 10: "US", 11: "UBS", 12: "C", 16: "SSS", 17: "SSS",
           18: "SSS"}


class Malformed(Exception):
    pass


def decode_payload(payload):
    """(type, [fields]) of one payload; strings come back as bytes."""
    if not payload:
        raise Malformed("empty payload")
    t = payload[0]
    layout = _LAYOUT.get(t)
    if layout is None:
        raise Malformed("unknown type %d" % t)
    pos, fields = 1, []
    for f in layout:
        if f == "U":
            if pos + 4 > len(payload):
                raise Malformed("short u32")
            fields.append(struct.unpack_from("<I", payload, pos)[0])
            pos += 4
        elif f == "B":
            if pos + 1 > len(payload):
                raise Malformed("short u8")
            fields.append(payload[pos])
            pos += 1
        elif f in "ST":
            if f == "T" and pos == len(payload):
                fields.append(b"")
                continue
            if pos + 2 > len(payload):
                raise Malformed("short string length")
            n = struct.unpack_from("<H", payload, pos)[0]
            if pos + 2 + n > len(payload):
                raise Malformed("string past the end")
            fields.append(bytes(payload[pos + 2:pos + 2 + n]))
            pos += 2 + n
        elif f == "C":
            if pos + 1 > len(payload) or payload[pos] > 8 or pos + 1 + payload[pos] > len(payload):
                raise Malformed("bad list")
            fields.append(list(payload[pos + 1:pos + 1 + payload[pos]]))
            pos += 1 + payload[pos]
    return t, fields


def payload_message(frm, to, size, ident="big"):
    """A message of exactly SIZE bytes carrying base64 text in a payload
    namespace (like a vCard photo), written the way the daemon rebuilds it."""
    head = "<message from='%s' to='%s' id='%s'><data xmlns='urn:example:payload'>" % (
        frm, to, ident)
    tail = "</data></message>"
    text = base64.b64encode(os.urandom(size)).decode()[:size - len(head) - len(tail)]
    return head + text + tail


class IpcClient:
    """A blocking client on a daemon's IPC socket (the core's side)."""

    def __init__(self, path, timeout=DEFAULT_TIMEOUT):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(path)
        except OSError:
            self.sock.close()
            raise
        self._buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def recv_frame(self, timeout=DEFAULT_TIMEOUT):
        """The next frame as (type, fields); raises socket.timeout, or
        ConnectionError when the daemon closed the connection."""
        deadline = time.monotonic() + timeout
        while True:
            if len(self._buf) >= 4:
                n = struct.unpack_from("<I", self._buf)[0]
                if len(self._buf) >= 4 + n:
                    payload, self._buf = self._buf[4:4 + n], self._buf[4 + n:]
                    return decode_payload(payload)
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout("no frame within %.1fs" % timeout)
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("connection closed by the daemon")
            self._buf += data

    def wait_closed(self, timeout=DEFAULT_TIMEOUT):
        """True when the daemon closes the connection within the time-out
        (bytes that arrive meanwhile are discarded)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except ConnectionResetError:
                return True
        return False

    def is_open(self, wait=0.2):
        """True when the connection is still open after waiting a little."""
        return not self.wait_closed(wait)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class IpcPeer:
    """A Unix socket server standing in for a daemon, for the fenra-ipc tool:
    script(peer, conn) runs in a thread on the first connection. Every byte
    the tool sent and was read is in .received, the frames in .requests."""

    def __init__(self, script):
        self.path = os.path.join(temp_dir(), "peer.sock")
        self.srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.srv.bind(self.path)
        self.srv.listen(1)
        self.script = script
        self.connected = threading.Event()
        self.requests = []
        self.received = b""
        self.saw_eof = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.srv.settimeout(60)
        try:
            conn, _ = self.srv.accept()
        except OSError:
            return
        self.connected.set()
        with conn:
            conn.settimeout(30)
            self._buf = b""
            self.script(self, conn)
        self.srv.close()

    def read_frame(self, conn):
        """The next frame from the tool, decoded; None at its end of stream."""
        while len(self._buf) < 4 or len(self._buf) < 4 + struct.unpack_from("<I", self._buf)[0]:
            data = conn.recv(65536)
            if not data:
                return None
            self._buf += data
            self.received += data
        n = struct.unpack_from("<I", self._buf)[0]
        payload, self._buf = self._buf[4:4 + n], self._buf[4 + n:]
        try:
            frame = decode_payload(payload)
        except Malformed:
            frame = ("malformed", payload)
        self.requests.append(frame)
        return frame

    def wait_eof(self, conn):
        """Waits until the tool half-closes (or closes) its end."""
        try:
            while conn.recv(65536):
                pass
            self.saw_eof = True
        except OSError:
            pass

    def join(self):
        """Waits for the script to end; returns the frames read."""
        self.thread.join(60)
        self.srv.close()
        return self.requests


def answer_then(answer, after_eof=b""):
    """A script: read one request, send answer; at the tool's end of stream
    send after_eof, then close."""
    def script(peer, conn):
        peer.read_frame(conn)
        conn.sendall(answer)
        peer.wait_eof(conn)
        if after_eof:
            conn.sendall(after_eof)
    return script


def wait_for_socket(path, timeout=DEFAULT_TIMEOUT):
    """Waits until a Unix socket at path accepts connections (the file exists
    a moment before the daemon listens on it)."""
    def accepts():
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return True
        except OSError:
            return False
        finally:
            s.close()
    wait_until(accepts, timeout, "a listener on " + path)


def run_ipc_tool(socket_path, *args, timeout=DEFAULT_TIMEOUT):
    """Runs fenra-ipc --socket PATH ARGS...; returns the CompletedProcess."""
    return subprocess.run([binary("fenra-ipc"), "--socket", socket_path, *map(str, args)],
                          capture_output=True, timeout=timeout)
