#!/usr/bin/env bash
# Builds everything for x86_64 and i686, checks the i686 exports, and runs every test under
# Wine in a private session. Extra arguments go to ctest (for example -R LockTest).
#   VORN_BUILD_ROOT  build folder (default: build)   VORN_SKIP_I686=1  skip the i686 build
set -eu
cd "$(dirname "$0")/.."
root=${VORN_BUILD_ROOT:-build}
scripts/deps.sh
scripts/build.sh x86_64 "$root"
if [ "${VORN_SKIP_I686:-}" != 1 ]; then
  scripts/build.sh i686 "$root"
  scripts/check-exports.sh "$root/i686/bin"
fi
jobs=${VORN_TEST_JOBS:-$(nproc)}
exec scripts/wine-session.sh ctest --test-dir "$root/x86_64" -j "$jobs" --timeout 300 \
  --output-on-failure --no-tests=error "$@"
