#!/usr/bin/env bash
# Builds the system (x86_64), creates a private Wine session with the simulated hardware, and
# runs the host demo against it.
set -eu
cd "$(dirname "$0")/.."
root=${VORN_BUILD_ROOT:-build}
scripts/deps.sh
VORN_TESTS=${VORN_TESTS:-OFF} scripts/build.sh x86_64 "$root-demo"
bin=$(cd "$root-demo/x86_64/bin" && pwd)
exec scripts/wine-session.sh bash -c '"$0" "$1/vorn_demo.exe"' tools/winerun "$bin"
