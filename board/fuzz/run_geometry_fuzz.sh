#!/bin/bash
# Builds the wide zoom mapping's fuzz target for the host (clang, libFuzzer, address and
# undefined-behaviour sanitizers) and runs it for a fixed number of inputs, starting from the
# rectangles the mapping's tests use. Exit 77 (skipped) when the host has no clang with libFuzzer.
set -euo pipefail
out=${1:?usage: run_geometry_fuzz.sh <build dir> [runs]}
runs=${2:-${VORN_FUZZ_RUNS:-100000}}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/host_fuzz.sh"
fuzz_build geometry_fuzz "$out" "$here/geometry_fuzz.cpp" "$top/board/wide_zoom_mapping.cpp"

# Seeds: panel w h, video w h, source l t r b, linear l t r b, as the mapping's tests give them.
seed() {
  local name=$1 bytes="" v; shift
  for v in "$@"; do
    v=$(( v & 0xFFFFFFFF ))
    bytes+=$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))
  done
  printf "$bytes" > "$corpus/$name"
}
seed whole      1366 768 720 480  0 0 720 480  0 0 720 480
seed offset     1366 768 720 480  8 0 712 480  8 0 712 480
seed left-of    1366 768 720 480  8 0 712 480  -20 240 8 240
seed centre     1366 768 720 480  0 0 720 480  360 0 360 480
seed far-off    1366 768 720 480  0 0 720 480  0 0 0x7FFFFFF0 0x7FFFFFF0
seed flat       1152 768 704 480  0 0 704 480  100 0 600 480
seed other-way  1024 768 352 240  0 0 352 240  0 0 352 240
seed full-hd    1920 1080 329 412 0 0 329 412  1 1 328 411
fuzz_run geometry_fuzz "$out" "$runs" 64
