#!/usr/bin/env python3
"""fenra-s2s listening on IPv6 inside a private network namespace (where ::1
is always there): an IPv6 literal listens on IPv6 only, "::" on both
families, and a peer over IPv6 gets the daemon's stream header."""

import os
import socket
import sys

sys.path.insert(0, os.path.join(os.environ["FENRA_SOURCE"], "tests", "lib"))
import netns  # noqa: E402
import fenra_testlib as t  # noqa: E402

netns.enter()

OPEN = (b"<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
        b"xmlns:stream='http://etherx.jabber.org/streams' to='localhost' version='1.0'>")


def connects(family, address, port):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        try:
            s.connect((address, port))
        except ConnectionRefusedError:
            return "refused"
        s.sendall(OPEN)
        reply = b""
        while b"<stream:stream" not in reply:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        return "stream" if b"<stream:stream" in reply else reply


def main():
    failures = []
    rows = [("::1", 5269, [(socket.AF_INET6, "::1", "stream"),
                           (socket.AF_INET, "127.0.0.1", "refused")]),
            ("::", 5270, [(socket.AF_INET6, "::1", "stream"),
                          (socket.AF_INET, "127.0.0.1", "stream")])]
    for address, port, probes in rows:
        with t.Daemon([t.binary("fenra-s2s"), "--address", address, "--port", str(port)]) as d:
            d.wait_for("fenra-s2s event loop started")
            for family, peer, want in probes:
                got = connects(family, peer, port)
                if got != want:
                    failures.append("--address %s, peer %s: %r, want %r"
                                    % (address, peer, got, want))
            d.stop()
    for f in failures:
        print("FAIL " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
