#!/usr/bin/env bash
# The demo: installs what it builds and runs with, when missing (that step
# alone needs root or sudo; tools/test.sh installs the rest),
# builds the release preset, then runs the daemons' main job in a private
# network of its own, without root: two federated domains exchange messages
# by server dialback and by DANE + SASL EXTERNAL, and fenra-auth-oidc answers
# a PLAIN and an OAUTHBEARER login with a test OpenID Connect provider.
#
#     tools/demo.sh            install, build, run
#     tools/demo.sh --keep     keep the work directory with the daemons' logs
#
# The run itself is tools/demo.py; it ends with a one-line verdict, and the
# exit status says whether every check passed.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh build demo

echo "== building the release preset (build/release)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target fenra-s2s fenra-auth-oidc fenra-ipc

if [ "$(id -u)" = 0 ]; then
    echo "== running as root: the demo still runs in a user namespace of its own"
fi
exec python3 tools/demo.py --build build/release "$@"
