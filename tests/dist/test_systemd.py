"""The systemd units pass systemd-analyze verify (their manual pages
included), keep their hardening, put the sockets in their runtime directory,
and their command lines start the daemons."""

import os
import re
import shlex
import shutil
import subprocess

from distlib import (BUILD, DIST, PAGES, TempDir, binary, check, env, finish, read,
                     run_daemon, skip)

UNITS = ("fenra-s2s.service", "fenra-auth-oidc.service")
# Each daemon its own user and socket directory; the group is the core's.
RUNTIME = {"fenra-s2s.service": "fenra-s2s", "fenra-auth-oidc.service": "fenra-auth"}
# systemd-analyze security rates the units' exposure from 0 (best) to 10, and
# takes its threshold in tenths: 20 stands for 2.0.
MAX_EXPOSURE = "20"


def unit_path(unit):
    return os.path.join(BUILD, "dist", "systemd", unit)


def directive(text, key):
    return re.findall(rf"^{key}=(.*)$", text, flags=re.M)


def verify(tmp, unit, sbindir):
    """verify wants ExecStart's program to exist: point it at a stand-in."""
    stand_in = os.path.join(tmp, "bin", unit.split(".")[0])
    os.makedirs(os.path.dirname(stand_in), exist_ok=True)
    with open(stand_in, "w") as f:
        f.write("#!/bin/sh\n")
    os.chmod(stand_in, 0o755)
    text = read(unit_path(unit)).replace(f"{sbindir}/{unit.split('.')[0]} ", stand_in + " ")
    copy = os.path.join(tmp, unit)
    with open(copy, "w") as f:
        f.write(text)
    environ = dict(os.environ, MANPATH=os.path.join(tmp, "man"), SYSTEMD_LOG_COLOR="0")
    result = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True,
                            text=True, env=environ)
    output = (result.stdout + result.stderr).strip()
    check(result.returncode == 0 and not output,
          f"systemd-analyze verify {unit}: status {result.returncode}: {output}")
    result = subprocess.run(["systemd-analyze", "security", "--offline=yes",
                             f"--threshold={MAX_EXPOSURE}", "--no-pager", copy],
                            capture_output=True, text=True, env=environ)
    overall = [l for l in result.stdout.splitlines() if "Overall exposure" in l]
    check(result.returncode == 0,
          f"systemd-analyze security {unit}: exposure above {MAX_EXPOSURE} tenths: {overall}")


def runtime_layout(unit, text):
    own = RUNTIME[unit]
    check(directive(text, "RuntimeDirectory") == [own], f"{unit}: RuntimeDirectory is not {own}")
    check(directive(text, "RuntimeDirectoryMode") == ["0750"], f"{unit}: socket directory mode")
    check(directive(text, "User") == [own] and directive(text, "Group") == ["fenra"],
          f"{unit}: user and group are not {own} and fenra")
    check(directive(text, "Restart") == ["on-failure"], f"{unit}: not restarted on failure")
    sockets = re.findall(r"(/\S*\.sock)", "\n".join(directive(text, "ExecStart") +
                                                   directive(text, "Environment")))
    check(sockets and all(s.startswith(f"/run/{own}/") for s in sockets),
          f"{unit}: socket paths {sockets} are not in the runtime directory")
    user = directive(text, "User")
    sysusers = read(os.path.join(DIST, "systemd", "fenra.sysusers"))
    check(user and re.search(rf"^u {user[0]} -:fenra ", sysusers, flags=re.M),
          f"{unit}: its user {user} is not created by sysusers.d")


def command_line(unit, text, sbindir):
    """ExecStart as systemd expands it, with its program and paths moved into
    the build and a temporary directory."""
    environment = {}
    for value in directive(text, "Environment"):
        key, _, val = shlex.split(value)[0].partition("=")
        environment[key] = val
    words = []
    for word in shlex.split(directive(text, "ExecStart")[0]):
        if word.startswith("$"):
            words += environment.get(word[1:], "").split()
        else:
            words.append(word)
    return words


def start(tmp, unit, text, sbindir, confdir):
    program = {"fenra-s2s.service": binary("s2s/fenra-s2s"),
               "fenra-auth-oidc.service": binary("auth/fenra-auth-oidc")}[unit]
    if not program:
        print(f"{unit}: the program is not built; its command line is not run")
        return
    rundir = os.path.join(tmp, "run")
    os.makedirs(rundir, exist_ok=True)
    words = command_line(unit, text, sbindir)
    check(words[0] == f"{sbindir}/{unit.split('.')[0]}", f"{unit}: ExecStart runs {words[0]}")
    sample = os.path.join(tmp, "fenra.conf")
    shutil.copy(os.path.join(DIST, "fenra.conf.sample"), sample)
    argv = [program] + [w.replace(f"/run/{RUNTIME[unit]}", rundir).replace(f"{confdir}/fenra.conf", sample)
                        for w in words[1:]]
    if unit == "fenra-s2s.service":
        argv += ["--address", "127.0.0.1", "--port", "0"]
        run_daemon(argv, "fenra-s2s event loop started", "fenra-s2s shutdown complete", unit)
    else:
        run_daemon(argv, "IPC server listening on " + rundir + "/auth.sock",
                   "fenra-auth-oidc shutdown complete", unit)


def main():
    if not shutil.which("systemd-analyze"):
        skip("systemd-analyze not found: the systemd units are not verified on this machine")
    sbindir, confdir = env("FENRA_SBINDIR"), env("FENRA_SYSCONFDIR") + "/fenra"
    with TempDir() as tmp:
        for name, path in PAGES.items():
            section = os.path.join(tmp, "man", "man" + name[-1])
            os.makedirs(section, exist_ok=True)
            shutil.copy(path, section)
        for unit in UNITS:
            text = read(unit_path(unit))
            verify(tmp, unit, sbindir)
            runtime_layout(unit, text)
            start(tmp, unit, text, sbindir, confdir)
    finish()


main()
