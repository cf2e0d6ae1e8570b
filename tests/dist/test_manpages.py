"""The manual pages: mandoc's lint is clean, man(1) renders them without a
warning, and each page has its sections, options and configuration keys."""

import os
import re
import shutil
import subprocess

from distlib import PAGES, check, finish, read, usage_block

# Messages that depend on the manual database of the machine, not on the page.
MACHINE_DEPENDENT = ("referenced manual not found", "outdated mandoc.db")

SECTIONS = {
    "fenra-s2s.8": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "LOGGING", "SIGNALS",
                    "FILES", "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
    "fenra-auth-oidc.8": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "CONFIGURATION FILE",
                          "LOGGING", "SIGNALS", "FILES", "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
    "fenra-ipc.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "COMMANDS", "EXIT STATUS",
                    "EXAMPLES", "SEE ALSO"],
}

# Every option each program accepts, the unlisted ones included.
OPTIONS = {
    "fenra-s2s.8": ["--host", "--address", "--bind", "--port", "--core-socket", "--cert",
                    "--key", "--listen-fd", "--log-level", "--no-stanza-log", "--dns-server",
                    "--dns-trust-anchor", "--negotiation-timeout", "--close-timeout",
                    "--inbound-idle-timeout", "--connect-timeout", "--dialback-timeout",
                    "--outbound-idle-timeout", "--delivery-timeout", "--max-unauthenticated-per-address", "--config", "-c",
                    "--help", "-h"],
    "fenra-auth-oidc.8": ["--config", "-c", "--socket", "--log-level", "--help", "-h"],
    "fenra-ipc.1": ["--socket", "--timeout", "--count", "--id", "--address", "--account",
                    "--frame", "--help", "-h"],
}


def lint(name, path):
    result = subprocess.run(["mandoc", "-T", "lint", "-W", "style", path],
                            capture_output=True, text=True)
    messages = [m for m in (result.stdout + result.stderr).splitlines()
                if m and not any(d in m for d in MACHINE_DEPENDENT)]
    check(not messages, f"{name}: mandoc -T lint: {messages}")


def render(name, path):
    if not shutil.which("man"):
        print(f"{name}: man(1) not found, rendering by man -l not checked")
        return
    environ = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    result = subprocess.run(["man", "-l", path], capture_output=True, text=True, env=environ)
    check(result.returncode == 0 and not result.stderr.strip(),
          f"{name}: man -l: status {result.returncode}, {result.stderr.strip()!r}")
    check("fenra" in result.stdout, f"{name}: man -l rendered nothing")


def structure(name, text):
    sections = re.findall(r"^\.Sh (.+)$", text, flags=re.M)
    for s in SECTIONS[name]:
        check(s in sections, f"{name}: no section {s}")
    documented = set()
    for m in re.finditer(r"^\.It (.*)$", text, flags=re.M):
        documented.update("-" + f for f in re.findall(r"\bFl (-?[\w-]+)", m.group(1)))
    for opt in OPTIONS[name]:
        check(opt in documented, f"{name}: option {opt} has no entry")


def config_keys(text):
    """Every key that the usage text names is documented, and so are the two
    keys that it leaves out."""
    usage = usage_block(text) or ""
    keys = re.findall(r"^  ([a-z_]+) ", usage.split("Required config", 1)[-1], flags=re.M)
    check(len(keys) == 10, f"fenra-auth-oidc.8: usage text names {len(keys)} keys, not 10")
    documented = set(re.findall(r"^\.It Ic ([a-z_]+)", text, flags=re.M))
    for key in keys + ["introspection_endpoint", "user_domain"]:
        check(key in documented, f"fenra-auth-oidc.8: key {key} has no entry")


def main():
    if not check(shutil.which("mandoc") is not None, "mandoc is not installed"):
        finish()
    for name, path in PAGES.items():
        text = read(path)
        lint(name, path)
        render(name, path)
        structure(name, text)
        if name.endswith(".8"):
            check(usage_block(text) is not None, f"{name}: the usage text is not quoted")
    config_keys(read(PAGES["fenra-auth-oidc.8"]))
    finish()


main()
