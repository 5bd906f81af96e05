# Sourced by the host fuzz scripts: builds one libFuzzer target (clang, address and
# undefined-behaviour sanitizers) and runs it over a corpus. A host without clang or without its
# fuzzer runtime ends the script with 77 (skipped).
#   fuzz_build <name> <out dir> <sources...>   builds <out dir>/<name>, fresh corpus at $corpus
#   fuzz_run <name> <out dir> <runs> <max len> runs it; its log's last lines on success
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
fuzz_build() {
  local name=$1 out=$2; shift 2
  local clang
  clang=$(command -v clang++ || true)
  [ -n "$clang" ] || { echo "$name: no clang++ on this host"; exit 77; }
  mkdir -p "$out"
  if ! "$clang" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
      -I"$top" "$@" -o "$out/$name" 2>"$out/build.log"; then
    if grep -q "fuzzer" "$out/build.log" && ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
      echo "$name: clang without libFuzzer"; exit 77
    fi
    cat "$out/build.log"; exit 1
  fi
  corpus="$out/corpus"
  rm -rf "${corpus:?}"
  mkdir -p "$corpus"
}
fuzz_run() {
  local name=$1 out=$2 runs=$3 max_len=$4
  "$out/$name" -runs="$runs" -artifact_prefix="$out/" -max_len="$max_len" -timeout=10 -rss_limit_mb=1024 \
    "$corpus" >"$out/fuzz.log" 2>&1 || { tail -40 "$out/fuzz.log"; exit 1; }
  tail -2 "$out/fuzz.log"
}
