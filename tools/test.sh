#!/usr/bin/env bash
# The whole test suite, on a fresh Debian 12 machine or a developer's one:
# installs what is missing, builds the sanitizer (debug) build and runs every
# unit and integration test, builds the release build, then builds the fuzz
# targets with clang and gives each a short smoke run.
#
#     tools/test.sh            everything
#     tools/test.sh --no-fuzz  skip the fuzz build
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fuzz=1
for a in "$@"; do
    case $a in
        --no-fuzz) fuzz=0 ;;
        *) echo "usage: tools/test.sh [--no-fuzz]" >&2; exit 2 ;;
    esac
done

tools/install-deps.sh

jobs=$(nproc)
echo "== sanitizer build (ASan + UBSan)"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
echo "== tests"
ctest --preset debug -j "$jobs"

# The optimiser warns about things the debug build never sees (warnings are errors).
echo "== release build (-O2)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"

if [ "$fuzz" = 1 ]; then
    echo "== fuzz targets (libFuzzer + ASan + UBSan), smoke runs"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz -j "$jobs"
    ctest --preset fuzz -j "$jobs"
fi
