#!/bin/bash
# Builds the board fuzz target for the host (clang, libFuzzer, sanitizers) and runs it
# for a fixed number of inputs, starting from a corpus of the frames and settings lines the
# tests use. Exit 77 (skipped) when the host has no clang with libFuzzer.
set -euo pipefail
out=${1:?usage: run_fuzz.sh <build dir> [runs]}
runs=${2:-${VORN_FUZZ_RUNS:-100000}}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/host_fuzz.sh"
fuzz_build board_fuzz "$out" "$here/board_fuzz.cpp" "$top/board/board_frames.cpp" "$top/board/panel_map.cpp"

# Seeds: the first byte picks the parser (even: a board reply, odd: settings lines).
seed() { printf "$2" > "$corpus/$1"; }
seed write-reply   '\x00\xAA\x00\x08\x00\x00\x00\x00\xB2'
seed status-reply  '\x00\xAA\x00\x08\x00\x00\x10\x00\xC2'
seed reset-reply   '\x00\xAA\x00\x08\xF0\x00\x00\x00\xA2'
seed read-reply    '\x00\xAA\x00\x0B\x00\x80\x00\x00\x50\x62\x07\xEE'
seed bad-length    '\x00\xAA\x00\x09\x00\x00\x00\x00\xB3'
seed settings      '\x01PIC_LCK_PACK=200\nPIC_AXIS_PACK=-1\nPIC_YAGC=014\nSUBPIC_WB_RED15=0xFFF\nPIC_DITHER=87\n'
fuzz_run board_fuzz "$out" "$runs" 600
