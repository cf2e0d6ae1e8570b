"""cmake --install places the manual pages, the example configuration and
the service files of this platform, with paths for the configured prefix,
and nothing else."""

import filecmp
import os
import shutil
import subprocess

from distlib import (DIST, PAGES, TempDir, check, env, finish, flag, install_dist, read)


def installed_files(root):
    found = set()
    for dirpath, _, files in os.walk(root):
        for f in files:
            found.add("/" + os.path.relpath(os.path.join(dirpath, f), root))
    return found


def main():
    mandir, confdir = env("FENRA_MANDIR"), env("FENRA_SYSCONFDIR") + "/fenra"
    sbindir, unitdir = env("FENRA_SBINDIR"), env("FENRA_UNITDIR")
    sysusersdir = env("FENRA_SYSUSERSDIR")
    expected = {
        f"{mandir}/man8/fenra-s2s.8": PAGES["fenra-s2s.8"],
        f"{mandir}/man8/fenra-auth-oidc.8": PAGES["fenra-auth-oidc.8"],
        f"{mandir}/man1/fenra-ipc.1": PAGES["fenra-ipc.1"],
        f"{confdir}/fenra.conf.sample": os.path.join(DIST, "fenra.conf.sample"),
    }
    if flag("FENRA_INSTALL_SYSTEMD"):
        expected[f"{unitdir}/fenra-s2s.service"] = None
        expected[f"{unitdir}/fenra-auth-oidc.service"] = None
        expected[f"{sysusersdir}/fenra.conf"] = os.path.join(DIST, "systemd", "fenra.sysusers")
    if flag("FENRA_INSTALL_RCD"):
        rcdir = os.path.dirname(confdir) + "/rc.d"
        expected[f"{rcdir}/fenra_s2s"] = None
        expected[f"{rcdir}/fenra_auth_oidc"] = None

    with TempDir() as root:
        if not check(install_dist(root), "cmake --install --component dist failed"):
            finish()
        found = installed_files(root)
        check(found == set(expected),
              f"installed {sorted(found - set(expected))} unexpectedly, "
              f"missing {sorted(set(expected) - found)}")
        for path, source in expected.items():
            full = root + path
            if source and os.path.exists(full):
                check(filecmp.cmp(full, source, shallow=False), f"{path} differs from its source")

        if flag("FENRA_INSTALL_SYSTEMD"):
            s2s = read(root + f"{unitdir}/fenra-s2s.service")
            auth = read(root + f"{unitdir}/fenra-auth-oidc.service")
            check(f"ExecStart={sbindir}/fenra-s2s $FENRA_S2S_OPTS\n" in s2s,
                  "fenra-s2s.service does not start the installed program")
            check(f"EnvironmentFile=-{confdir}/fenra-s2s.env\n" in s2s,
                  "fenra-s2s.service does not read its options beside the configuration")
            check(f"ExecStart={sbindir}/fenra-auth-oidc -c {confdir}/fenra.conf " in auth,
                  "fenra-auth-oidc.service does not start the installed program "
                  "with the installed configuration")
        if flag("FENRA_INSTALL_RCD"):
            for script, program in (("fenra_s2s", "fenra-s2s"),
                                    ("fenra_auth_oidc", "fenra-auth-oidc")):
                path = root + os.path.dirname(confdir) + "/rc.d/" + script
                check(os.access(path, os.X_OK), f"rc.d/{script} is not executable")
                check(f'procname="{sbindir}/{program}"' in read(path),
                      f"rc.d/{script} does not run the installed program")

        # man(1) finds the installed pages by name.
        if shutil.which("man"):
            for name, section in (("fenra-s2s", "8"), ("fenra-auth-oidc", "8"),
                                  ("fenra-ipc", "1")):
                result = subprocess.run(["man", "-M", root + mandir, "-w", section, name],
                                        capture_output=True, text=True)
                check(result.returncode == 0 and result.stdout.strip().startswith(root),
                      f"man -w {section} {name} does not find the installed page")
    prefix_variants()
    finish()


# A project of the distribution files alone, configured for other prefixes and
# platforms than the build tree's.
WRAPPER = """cmake_minimum_required(VERSION 3.25)
project(fenra_dist_layout LANGUAGES NONE)
include(GNUInstallDirs)
add_subdirectory({dist} dist)
"""

VARIANTS = [
    # prefix, options, files that must be installed, text they must hold
    ("/usr", ["-DFENRA_INSTALL_SYSTEMD=ON", "-DFENRA_INSTALL_RCD=OFF"], {
        "/etc/fenra/fenra.conf.sample": "[oidc]",
        "/usr/share/man/man8/fenra-s2s.8": ".Dt FENRA-S2S 8",
        "/usr/lib/systemd/system/fenra-s2s.service":
            "ExecStart=/usr/sbin/fenra-s2s $FENRA_S2S_OPTS\n",
        "/usr/lib/systemd/system/fenra-auth-oidc.service":
            "ExecStart=/usr/sbin/fenra-auth-oidc -c /etc/fenra/fenra.conf ",
        "/usr/lib/sysusers.d/fenra.conf": "u fenra-auth -:fenra ",
    }, "systemd-sysusers /usr/lib/sysusers.d/fenra.conf"),
    ("/usr/local", ["-DFENRA_INSTALL_SYSTEMD=OFF", "-DFENRA_INSTALL_RCD=ON"], {
        "/usr/local/etc/rc.d/fenra_s2s": 'procname="/usr/local/sbin/fenra-s2s"',
        "/usr/local/etc/rc.d/fenra_auth_oidc":
            '${fenra_auth_oidc_config:="/usr/local/etc/fenra/fenra.conf"}',
        "/usr/local/etc/fenra/fenra.conf.sample": "[oidc]",
    }, None),
    ("/srv/fenra", ["-DFENRA_INSTALL_SYSTEMD=ON", "-DFENRA_INSTALL_RCD=ON"], {
        "/srv/fenra/lib/systemd/system/fenra-s2s.service":
            "EnvironmentFile=-/srv/fenra/etc/fenra/fenra-s2s.env\n",
        "/srv/fenra/etc/rc.d/fenra_auth_oidc": 'procname="/srv/fenra/sbin/fenra-auth-oidc"',
        "/srv/fenra/etc/fenra/fenra.conf.sample": "[oidc]",
    }, "/usr/local"),
]


def prefix_variants():
    for prefix, options, files, extra in VARIANTS:
        with TempDir() as tmp:
            src, build, root = (os.path.join(tmp, d) for d in ("src", "build", "root"))
            os.makedirs(src)
            with open(os.path.join(src, "CMakeLists.txt"), "w") as f:
                f.write(WRAPPER.format(dist=DIST))
            result = subprocess.run(["cmake", "-S", src, "-B", build,
                                     "-Wno-dev", f"-DCMAKE_INSTALL_PREFIX={prefix}"] + options,
                                    capture_output=True, text=True)
            if not check(result.returncode == 0, f"{prefix}: configure: {result.stderr}"):
                continue
            result = subprocess.run(["cmake", "--install", build],
                                    env=dict(os.environ, DESTDIR=root),
                                    capture_output=True, text=True)
            if not check(result.returncode == 0, f"{prefix}: install: {result.stderr}"):
                continue
            found = installed_files(root)
            for path, text in files.items():
                if check(path in found, f"{prefix}: {path} is not installed"):
                    check(text in read(root + path), f"{prefix}: {path} lacks {text!r}")
            services = [p for p in found if p.endswith(".service") or "/rc.d/" in p]
            if extra == "/usr/local":
                for path in services:
                    check("/usr/local" not in read(root + path),
                          f"{prefix}: {path} still names /usr/local")
            elif extra:
                check(any(extra in read(root + p) for p in services),
                      f"{prefix}: no service file names {extra!r}")


main()
