"""The rc.d scripts, run with a stand-in for rc.subr(8): their names and
variables follow the rc.subr conventions, their defaults and settings make
the expected daemon(8) command lines, and those command lines start the
daemons."""

import os
import re
import shutil
import subprocess

from distlib import BUILD, DIST, TempDir, binary, check, env, finish, read, run_daemon

# Just enough of rc.subr to run a script's start: load_rc_config reads a
# test rc.conf, install(1) is recorded, and the command that rc.subr would
# eval is printed one word a line.
FAKE_RC_SUBR = r"""
load_rc_config() { . "$FAKE_RC_CONF"; }
checkyesno() {
	eval _v=\$$1
	case $_v in [Yy][Ee][Ss]|[Tt][Rr][Uu][Ee]|[Oo][Nn]|1) return 0 ;; esac
	return 1
}
install() { echo "install $*" >> "$FAKE_LOG"; }
run_rc_command() {
	[ "$1" = start ] || return 1
	checkyesno "$rcvar" || { echo "disabled"; return 0; }
	[ -z "$start_precmd" ] || $start_precmd || return 1
	for f in $required_files; do echo "required=$f"; done
	echo "pidfile=$pidfile"
	echo "procname=$procname"
	eval echo "user=\${${name}_user}"
	eval echo "umask=\${${name}_umask}"
	eval "rc_flags=\${${name}_flags}"
	eval "set -- $command $rc_flags $command_args"
	for w in "$@"; do echo "word=$w"; done
}
"""

SCRIPTS = {
    "fenra_s2s": "fenra-s2s",
    "fenra_auth_oidc": "fenra-auth-oidc",
}


def run_script(tmp, script, rc_conf, shell="sh", starts=True):
    path = os.path.join(BUILD, "dist", "rc.d", script)
    text = read(path).replace(". /etc/rc.subr", ". " + os.path.join(tmp, "rc.subr"))
    copy = os.path.join(tmp, script)
    with open(copy, "w") as f:
        f.write(text)
    with open(os.path.join(tmp, "rc.subr"), "w") as f:
        f.write(FAKE_RC_SUBR)
    with open(os.path.join(tmp, "rc.conf"), "w") as f:
        f.write("".join(f'{k}="{v}"\n' for k, v in rc_conf.items()))
    log = os.path.join(tmp, "install.log")
    if os.path.exists(log):
        os.remove(log)
    environ = dict(os.environ, FAKE_RC_CONF=os.path.join(tmp, "rc.conf"), FAKE_LOG=log)
    result = subprocess.run([shell, copy, "start"], capture_output=True, text=True, env=environ)
    if not starts:
        return result
    check(result.returncode == 0 and not result.stderr,
          f"{script} start: status {result.returncode}: {result.stderr}")
    out = {"word": [], "required": []}
    for line in result.stdout.splitlines():
        key, _, value = line.partition("=")
        if key in ("word", "required"):
            out[key].append(value)
        else:
            out[key] = value
    out["install"] = read(log).splitlines() if os.path.exists(log) else []
    return out


def daemon_split(words):
    """daemon(8)'s own options, and the command line of the program it runs."""
    check(words[0] == "/usr/sbin/daemon", f"the command is {words[0]}, not daemon(8)")
    opts, i = {}, 1
    while i < len(words) and words[i].startswith("-"):
        if words[i] in ("-o", "-p", "-P"):
            opts[words[i]] = words[i + 1]
            i += 2
        else:
            opts[words[i]] = True
            i += 1
    return opts, words[i:]


def conventions(script):
    text = read(os.path.join(DIST, "rc.d", script))
    check(re.search(rf"^# PROVIDE: {script}$", text, flags=re.M), f"{script}: PROVIDE line")
    check(re.search(r"^# KEYWORD: shutdown$", text, flags=re.M), f"{script}: not stopped at shutdown")
    check(f"\nname={script}\n" in text and f"\nrcvar={script}_enable\n" in text,
          f"{script}: name or rcvar")
    check(f": ${{{script}_enable:=\"NO\"}}" in text, f"{script}: not disabled by default")
    for shell in ("sh", "dash", "bash"):
        if shutil.which(shell):
            r = subprocess.run([shell, "-n", os.path.join(DIST, "rc.d", script)],
                               capture_output=True, text=True)
            check(r.returncode == 0, f"{script}: {shell} -n: {r.stderr}")


def s2s(tmp, sbindir):
    out = run_script(tmp, "fenra_s2s", {})
    check("disabled" in out and not out["word"], "fenra_s2s starts while disabled")

    out = run_script(tmp, "fenra_s2s", {"fenra_s2s_enable": "YES"})
    opts, argv = daemon_split(out["word"])
    check(opts.get("-p") == "/var/run/fenra-s2s/fenra_s2s.pid" == out["pidfile"],
          f"fenra_s2s: daemon(8) writes {opts.get('-p')}, rc.subr reads {out['pidfile']}")
    check(opts.get("-o") == "/var/log/fenra-s2s/fenra-s2s.log", f"fenra_s2s: log {opts.get('-o')}")
    check(argv == [f"{sbindir}/fenra-s2s", "--host", "localhost",
                   "--core-socket", "/var/run/fenra-s2s/s2s.sock"],
          f"fenra_s2s: default command line {argv}")
    check(argv[0] == out["procname"], "fenra_s2s: procname is not the program daemon(8) runs")
    check(out["required"] == [], f"fenra_s2s: required files {out['required']} without a cert")
    own_directories("fenra_s2s", out, "fenra-s2s")

    conf = {"fenra_s2s_enable": "YES", "fenra_s2s_host": "example.org",
            "fenra_s2s_cert": "/etc/x.crt", "fenra_s2s_key": "/etc/x.key",
            "fenra_s2s_args": "--address 127.0.0.1 --port 0"}
    out = run_script(tmp, "fenra_s2s", conf)
    _, argv = daemon_split(out["word"])
    check(argv[1:] == ["--host", "example.org", "--core-socket", "/var/run/fenra-s2s/s2s.sock",
                       "--cert", "/etc/x.crt", "--key", "/etc/x.key",
                       "--address", "127.0.0.1", "--port", "0"],
          f"fenra_s2s: configured command line {argv}")
    check(out["required"] == ["/etc/x.crt", "/etc/x.key"],
          f"fenra_s2s: required files {out['required']}")

    program = binary("s2s/fenra-s2s")
    if program:
        rundir = os.path.join(tmp, "run")
        os.makedirs(rundir, exist_ok=True)
        out = run_script(tmp, "fenra_s2s", {"fenra_s2s_enable": "YES",
                                            "fenra_s2s_socket": rundir + "/s2s.sock",
                                            "fenra_s2s_args": "--address 127.0.0.1 --port 0"})
        _, argv = daemon_split(out["word"])
        run_daemon([program] + argv[1:], "fenra-s2s event loop started",
                   "fenra-s2s shutdown complete", "fenra_s2s command line")
    else:
        print("s2s/fenra-s2s is not built; the rc.d command line is not run")


def own_directories(script, out, user):
    """Each daemon its own user, with the core's group fenra; its socket and
    log directories are its own and admit that group alone."""
    check(out["user"] == user and out["umask"] == "007",
          f"{script}: user {out['user']}, umask {out['umask']}")
    for d in (f"/var/run/{user}", f"/var/log/{user}"):
        check(any(l.endswith(" " + d) and f"-o {user} -g fenra -m 0750" in l
                  for l in out["install"]), f"{script}: {d} not made: {out['install']}")


def auth(tmp, sbindir, confdir):
    out = run_script(tmp, "fenra_auth_oidc", {"fenra_auth_oidc_enable": "YES"})
    opts, argv = daemon_split(out["word"])
    check(opts.get("-p") == "/var/run/fenra-auth/fenra_auth_oidc.pid" == out["pidfile"],
          f"fenra_auth_oidc: pid file {opts.get('-p')} / {out['pidfile']}")
    check(argv == [f"{sbindir}/fenra-auth-oidc", "-c", f"{confdir}/fenra.conf",
                   "--socket", "/var/run/fenra-auth/auth.sock"],
          f"fenra_auth_oidc: default command line {argv}")
    check(argv[0] == out["procname"], "fenra_auth_oidc: procname")
    check(out["required"] == [f"{confdir}/fenra.conf"],
          f"fenra_auth_oidc: required files {out['required']}")
    own_directories("fenra_auth_oidc", out, "fenra-auth")
    # The client secret: a configuration others may read is not started with.
    for mode, starts in ((0o640, False), (0o604, False), (0o600, True)):
        conf = os.path.join(tmp, "secret.conf")
        with open(conf, "w") as f:
            f.write("[oidc]\n")
        os.chmod(conf, mode)
        r = run_script(tmp, "fenra_auth_oidc", {"fenra_auth_oidc_enable": "YES",
                                                "fenra_auth_oidc_config": conf}, starts=False)
        check((r.returncode == 0 and "word=/usr/sbin/daemon" in r.stdout) == starts,
              f"fenra_auth_oidc: configuration of mode {mode:o}: status {r.returncode}")

    program = binary("auth/fenra-auth-oidc")
    if program:
        rundir = os.path.join(tmp, "run")
        os.makedirs(rundir, exist_ok=True)
        sample = os.path.join(tmp, "fenra.conf")
        shutil.copy(os.path.join(DIST, "fenra.conf.sample"), sample)
        os.chmod(sample, 0o600)
        out = run_script(tmp, "fenra_auth_oidc", {"fenra_auth_oidc_enable": "YES",
                                                  "fenra_auth_oidc_config": sample,
                                                  "fenra_auth_oidc_socket": rundir + "/auth.sock"})
        _, argv = daemon_split(out["word"])
        lines = run_daemon([program] + argv[1:], "IPC server listening on " + rundir + "/auth.sock",
                           "fenra-auth-oidc shutdown complete", "fenra_auth_oidc command line")
        check(any(l.endswith("  issuer: https://id.example.org") for l in lines),
              "fenra-auth-oidc does not show the sample's issuer")
        check(not any("change-me" in l for l in lines), "the client secret reached the log")
    else:
        print("auth/fenra-auth-oidc is not built; the rc.d command line is not run")


def main():
    sbindir, confdir = env("FENRA_SBINDIR"), env("FENRA_SYSCONFDIR") + "/fenra"
    for script in SCRIPTS:
        conventions(script)
    with TempDir() as tmp:
        s2s(tmp, sbindir)
        auth(tmp, sbindir, confdir)
    finish()


main()
