#!/bin/bash
# Builds the board fuzz target for the host (clang, libFuzzer, address sanitizer) and runs it
# for a fixed number of inputs, starting from a corpus of the frames and settings lines the
# tests use. Exit 77 (skipped) when the host has no clang with libFuzzer.
set -euo pipefail
out=${1:?usage: run_fuzz.sh <build dir> [runs]}
runs=${2:-${VORN_FUZZ_RUNS:-100000}}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
clang=$(command -v clang++ || true)
[ -n "$clang" ] || { echo "board_fuzz: no clang++ on this host"; exit 77; }
mkdir -p "$out"
if ! "$clang" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$top" "$here/board_fuzz.cpp" "$top/board/board_frames.cpp" "$top/board/panel_map.cpp" \
    -o "$out/board_fuzz" 2>"$out/build.log"; then
  if grep -q "fuzzer" "$out/build.log" && ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "board_fuzz: clang without libFuzzer"; exit 77
  fi
  cat "$out/build.log"; exit 1
fi

# Seeds: the first byte picks the parser (even: a board reply, odd: settings lines).
corpus="$out/corpus"
rm -rf "${corpus:?}"
mkdir -p "$corpus"
seed() { printf "$2" > "$corpus/$1"; }
seed write-reply   '\x00\xAA\x00\x08\x00\x00\x00\x00\xB2'
seed status-reply  '\x00\xAA\x00\x08\x00\x00\x10\x00\xC2'
seed reset-reply   '\x00\xAA\x00\x08\xF0\x00\x00\x00\xA2'
seed read-reply    '\x00\xAA\x00\x0B\x00\x80\x00\x00\x50\x62\x07\xEE'
seed bad-length    '\x00\xAA\x00\x09\x00\x00\x00\x00\xB3'
seed settings      '\x01PIC_LCK_PACK=200\nPIC_AXIS_PACK=-1\nPIC_YAGC=014\nSUBPIC_WB_RED15=0xFFF\nPIC_DITHER=87\n'
"$out/board_fuzz" -runs="$runs" -max_len=600 -timeout=10 -rss_limit_mb=1024 "$corpus" >"$out/fuzz.log" 2>&1 || {
  tail -40 "$out/fuzz.log"; exit 1; }
tail -2 "$out/fuzz.log"
