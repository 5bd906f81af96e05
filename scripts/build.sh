#!/usr/bin/env bash
# Configures and builds one architecture: scripts/build.sh x86_64|i686 [build-root]
set -eu
arch=$1
root=${2:-${VORN_BUILD_ROOT:-build}}
src=$(cd "$(dirname "$0")/.." && pwd)
werror=OFF
[ "${CI:-}" = true ] && werror=ON
[ -n "${VORN_WERROR:-}" ] && werror=$VORN_WERROR
tests=${VORN_TESTS:-ON}
cmake -S "$src" -B "$root/$arch" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=${VORN_BUILD_TYPE:-RelWithDebInfo} \
  -DVORN_WERROR=$werror -DVORN_TESTS=$tests >/dev/null
# VORN_TARGETS="a b": build only these targets (and what they need); VORN_JOBS: parallel jobs.
targets=()
for t in ${VORN_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$root/$arch" -j "${VORN_JOBS:-$(nproc)}" "${targets[@]}"
