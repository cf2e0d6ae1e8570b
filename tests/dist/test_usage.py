"""The usage texts that the manual pages quote are the ones the programs
print, byte for byte; fenra-ipc's help names every command of its page."""

import subprocess

from distlib import PAGES, binary, check, finish, read, skip, usage_block

DAEMONS = [("fenra-s2s.8", "s2s/fenra-s2s"), ("fenra-auth-oidc.8", "auth/fenra-auth-oidc")]


def daemon_usage(page, program):
    quoted = usage_block(read(PAGES[page]))
    for flag in ("--help", "-h"):
        result = subprocess.run([program, flag], capture_output=True, timeout=30)
        check(result.returncode == 0, f"{program} {flag}: exit status {result.returncode}")
        check(result.stdout.decode() == quoted,
              f"{program} {flag} prints a usage text other than {page} quotes:\n"
              f"{result.stdout.decode()}---\n{quoted}")


def ipc_help(program):
    result = subprocess.run([program, "--help"], capture_output=True, timeout=30)
    check(result.returncode == 0, f"fenra-ipc --help: exit status {result.returncode}")
    text = result.stdout.decode() + result.stderr.decode()
    for word in ("deliver", "listen", "--count", "--timeout", "auth plain", "auth oauthbearer",
                 "raw", "--socket"):
        check(word in text, f"fenra-ipc --help does not name {word!r}")


def main():
    ran = 0
    for page, rel in DAEMONS:
        program = binary(rel)
        if program:
            daemon_usage(page, program)
            ran += 1
        else:
            print(f"{rel} is not built; its usage text is not compared")
    program = binary("tools/fenra-ipc")
    if program:
        ipc_help(program)
        ran += 1
    else:
        print("tools/fenra-ipc is not built; its help is not checked")
    if not ran:
        skip("no program is built")
    finish()


main()
