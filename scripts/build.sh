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
toolchain=$src/cmake/toolchain-$arch.cmake
# Objects compiled in another checkout of the same sources are the cache's too (paths below the
# source folder are hashed relative to it); a cache of its own size, kept apart from other caches.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$src} CCACHE_DIR=${CCACHE_DIR:-/var/cache/vorn/ccache}
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
type=${VORN_BUILD_TYPE:-RelWithDebInfo}
# Configure only a new folder or one whose settings differ from these: the build step below
# re-runs CMake by itself when a list file changed.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$root/$arch/CMakeCache.txt" 2>/dev/null; }
if [ ! -f "$root/$arch/build.ninja" ] || [ "$(cached CMAKE_TOOLCHAIN_FILE)" != "$toolchain" ] ||
   [ "$(cached CMAKE_BUILD_TYPE)" != "$type" ] || [ "$(cached VORN_WERROR)" != "$werror" ] ||
   [ "$(cached VORN_TESTS)" != "$tests" ]; then
  cmake -S "$src" -B "$root/$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE="$type" \
    -DVORN_WERROR="$werror" -DVORN_TESTS="$tests" >/dev/null
fi
# VORN_TARGETS="a b": build only these targets (and what they need); VORN_JOBS: parallel jobs.
targets=()
for t in ${VORN_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$root/$arch" -j "${VORN_JOBS:-$(nproc)}" "${targets[@]}"
