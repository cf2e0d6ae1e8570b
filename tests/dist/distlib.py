"""Helpers shared by the checks of the distribution files."""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.environ.get("FENRA_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("FENRA_BUILD", "")
DIST = os.path.join(SOURCE, "dist")
PAGES = {
    "fenra-s2s.8": os.path.join(DIST, "man", "fenra-s2s.8"),
    "fenra-auth-oidc.8": os.path.join(DIST, "man", "fenra-auth-oidc.8"),
    "fenra-ipc.1": os.path.join(DIST, "man", "fenra-ipc.1"),
}
SKIP = 77

failures = []


def check(cond, what):
    """Records a failed expectation; the test goes on to report them all."""
    if not cond:
        failures.append(what)
        print("FAIL:", what)
    return cond


def finish():
    if failures:
        print(f"{len(failures)} check(s) failed")
        sys.exit(1)
    print("all checks passed")
    sys.exit(0)


def skip(why):
    print("SKIPPED:", why)
    sys.exit(SKIP)


def env(name):
    value = os.environ.get(name)
    if value is None:
        print(f"{name} is not set; run this check through ctest")
        sys.exit(1)
    return value


def flag(name):
    return env(name).upper() in ("ON", "1", "YES", "TRUE", "Y")


def binary(rel):
    """The path of a built program, or None when it has not been built."""
    path = os.path.join(BUILD, rel)
    return path if BUILD and os.access(path, os.X_OK) else None


def unescape_roff(line):
    """The text of a line of a literal display, as the reader sees it."""
    return line.replace("\\-", "-").replace("\\e", "\\").replace("\\&", "")


def literal_blocks(page_text):
    """Every .Bd -literal display of a page, as lists of text lines."""
    blocks, current = [], None
    for line in page_text.split("\n"):
        if current is None:
            if line.startswith(".Bd -literal"):
                current = []
        elif line == ".Ed":
            blocks.append(current)
            current = None
        else:
            current.append(unescape_roff(line))
    return blocks


def usage_block(page_text):
    """The usage text that a page quotes: the display that begins "Usage:"."""
    for block in literal_blocks(page_text):
        if block and block[0].startswith("Usage: "):
            return "".join(line + "\n" for line in block)
    return None


def install_dist(destdir):
    """Installs the component dist of the build tree under destdir."""
    environ = dict(os.environ, DESTDIR=destdir)
    result = subprocess.run(
        ["cmake", "--install", BUILD, "--component", "dist"],
        env=environ, capture_output=True, text=True)
    if result.returncode != 0:
        print(result.stdout, result.stderr)
    return result.returncode == 0


def sigterm_blocked(pid):
    """True once the process has blocked SIGTERM, i.e. watches it in its loop."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("SigBlk:"):
                    return bool(int(line.split()[1], 16) & (1 << (signal.SIGTERM - 1)))
    except OSError:
        pass
    return False


def run_daemon(argv, ready, last, what, deadline=30):
    """Starts a daemon, waits for its ready line and for its signal watch,
    stops it with SIGTERM and checks an orderly exit."""
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    lines, buf, ok = [], b"", False
    end = time.monotonic() + deadline
    try:
        while time.monotonic() < end and not ok:
            r, _, _ = select.select([proc.stderr], [], [], 0.2)
            if r:
                chunk = os.read(proc.stderr.fileno(), 65536)
                if not chunk:
                    break
                buf += chunk
                *done, buf = buf.split(b"\n")
                lines += [l.decode(errors="replace") for l in done]
                ok = any(ready in l for l in lines)
        if not check(ok, f"{what}: no line with {ready!r}; got: {lines}"):
            return lines
        while time.monotonic() < end and not sigterm_blocked(proc.pid):
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=deadline)
        lines += (buf + err).decode(errors="replace").splitlines()
        check(proc.returncode == 0, f"{what}: exit status {proc.returncode} after SIGTERM")
        check(lines and lines[-1].endswith(last), f"{what}: last line is not {last!r}: {lines[-1:]}")
        return lines
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


class TempDir:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="fenra-dist-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def words_after(text, pattern):
    return re.findall(pattern, text, flags=re.M)
