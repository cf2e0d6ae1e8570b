#!/usr/bin/env bash
# Installs the missing Debian packages of the sections of tools/deps-debian.txt
# named as arguments (every section without one), and the test identity
# provider's npm packages. Needs root (or sudo) only when something is missing.
#
#     tools/install-deps.sh build demo    what tools/demo.sh needs
#     tools/install-deps.sh               everything (tools/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

for s in "$@"; do
    if ! grep -qxF "[$s]" tools/deps-debian.txt; then
        echo "tools/deps-debian.txt has no section [$s]" >&2
        exit 2
    fi
done

missing=()
section=""
while read -r pkg; do
    case $pkg in
        ''|'#'*) continue ;;
        '['*']') section=${pkg:1:-1}; continue ;;
    esac
    case " $* " in "  "|*" $section "*) ;; *) continue ;; esac
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done < tools/deps-debian.txt

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    # Servers installed only as test peers must not start as system services.
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod +x /usr/sbin/policy-rc.d
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    $sudo rm -f /usr/sbin/policy-rc.d
fi

if [ -f tests/idp/package.json ]; then
    if ! command -v node >/dev/null || [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 20 ]; then
        echo "the test identity provider needs Node.js 20 or newer (found: $(node --version 2>/dev/null || echo none))" >&2
        exit 1
    fi
    # A symbolic link is another tree's installation: npm ci would empty it.
    if [ ! -L tests/idp/node_modules ] && { [ ! -d tests/idp/node_modules ] ||
            [ tests/idp/package-lock.json -nt tests/idp/node_modules ]; }; then
        (cd tests/idp && npm ci --no-audit --no-fund --loglevel=error)
    fi
fi
