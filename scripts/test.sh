#!/usr/bin/env bash
# Builds everything for x86_64 and i686, checks the i686 exports, and runs every test under
# Wine: the x86_64 suite under the 64-bit loader and, where this machine can run 32-bit
# programs, the i686 suite under the 32-bit loader (scripts/wine32.sh), each in a private
# session of its own and both at once. Extra arguments go to ctest (for example -R LockTest).
#   VORN_BUILD_ROOT  build folder (default: build)   VORN_SKIP_I686=1  no i686 work at all
#   VORN_TEST_JOBS   parallel tests of each suite (default: the processor count)
#   VORN_TEST_VERBOSE=1  one line per test instead of the summary
# The output keeps every failing test in full, a progress line per hundred passed tests and
# ctest's own closing summary ("N% tests passed, N tests failed out of N"), the x86_64 suite's
# first, then the i686 suite's (held back until the first one ends), which ends with
# "i686 suite (native): N passed". Where the i686 programs run under user-mode emulation (a
# kernel that runs no 32-bit code, or VORN_I686_EMULATE=1; scripts/wine32.sh), the i686 part is
# scripts/i686-emulated.sh instead - each chosen test program once, all its cases in one
# process - ending with "i686 (emulated): P programs, N cases passed, K programs left out
# (timing)"; ctest arguments do not apply to it. Where the i686 suite ran natively, the figures
# of deint_bench and tam_preview_bench follow, of both builds side by side (a short run each;
# figures, never a test; VORN_SKIP_BENCH=1 leaves them out).
#
#   scripts/test.sh --emulated
# Builds i686 and runs only scripts/i686-emulated.list under user-mode emulation, on any machine
# (where the kernel runs 32-bit code too): run it before landing a change that adds cases to a
# program of that list.
#
#   scripts/test.sh --stress N [ctest args]
# Runs the whole x86_64 suite N times with twice the parallel tests while a build of its own
# runs beside it (a throw-away folder <build root>-stress-load, rebuilt without the compiler
# cache for as long as the runs last), and ends with one line per run and the cases that
# failed; the whole output of a failed run is kept in /tmp.
set -eu -o pipefail
cd "$(dirname "$0")/.."
root=${VORN_BUILD_ROOT:-build}
case "$root" in /*) root_abs=$root ;; *) root_abs=$PWD/$root ;; esac
stress=0
only_emulated=0
if [ "${1:-}" = --emulated ]; then
  # The i686 build and the emulated list alone, also where the kernel runs 32-bit code.
  export VORN_I686_EMULATE=1
  only_emulated=1
  shift
fi
if [ "${1:-}" = --stress ]; then
  stress=${2:-}
  case "$stress" in ''|*[!0-9]*|0) echo "test.sh: --stress needs a run count" >&2; exit 2 ;; esac
  shift 2
fi
run_started=$SECONDS
scripts/deps.sh
jobs=${VORN_TEST_JOBS:-$(nproc)}
# The time of each stage, printed at the end: "<stage> <seconds>" lines (the i686 stages come from
# their own job, which runs beside the x86_64 ones).
stage_log=$(mktemp /tmp/vorn-stages.XXXXXX)
stage_time() { echo "$1 $2" >> "$stage_log"; }
print_stages() {
  echo "==== time of each stage (s; the i686 stages ran beside the x86_64 ones) ===="
  awk '{ printf "  %-40s %6d\n", $1, $2 }' "$stage_log" | tr '_' ' '
  echo "  whole command                            $((SECONDS - run_started))"
  rm -f "$stage_log"
}
stage_time deps $((SECONDS - run_started))

# One suite run in a session of its own: run_suite <arch> <jobs> [ctest args]. Harness notes (a
# test program that never got going) are printed after the tests.
run_suite() {
  local arch=$1 jobs=$2; shift 2
  scripts/wine-session.sh bash -c '
    rc=0
    ctest --test-dir "$1" -j "$2" --timeout 300 --output-on-failure --no-tests=error "${@:3}" || rc=$?
    if [ -s "$VORN_RUN_DIR/start-failures.log" ]; then
      echo "Test programs that did not start (run again once; see tools/winerun):"
      cat "$VORN_RUN_DIR/start-failures.log"
    fi
    if [ -s "$VORN_RUN_DIR/exit-kills.log" ]; then
      echo "Test programs whose loader Wine killed after their tests had passed (see tools/winerun):"
      cat "$VORN_RUN_DIR/exit-kills.log"
    fi
    exit $rc
  ' suite "$root/$arch" "$jobs" "$@"
}

# Passed tests shrink to a progress line per hundred; everything else is shown as ctest wrote it.
summarise() {
  if [ "${VORN_TEST_VERBOSE:-}" = 1 ]; then cat; return; fi
  awk '/^ +Start +[0-9]+: / { next }
       /Test +#[0-9]+: .* +Passed +[0-9.]+ sec$/ {
         if (++passed % 100 == 0) { printf "test: %d passed so far\n", passed; fflush() }
         next
       }
       { print; fflush() }'
}

# The i686 work, beside the x86_64 build and suite: the build and its exports check, while the
# 32-bit run is prepared (packages, or a root of its own); then its suite, if it can run here.
# Its output goes to a file, shown after the x86_64 suite's; its status is the job's.
i686_pid=
i686_log=
i686_work() {
  local prepared=$1; shift
  local prep_pid rc=0 can_run=0
  local t0=$SECONDS
  ( scripts/wine32.sh prepare; rc=$?; stage_time i686_32-bit_run_prepared $((SECONDS - t0)); exit $rc ) > "$prepared" 2>&1 &
  prep_pid=$!
  if scripts/build.sh i686 "$root" > "$prepared.build" 2>&1 && scripts/check-exports.sh "$root/i686/product" >> "$prepared.build" 2>&1; then
    stage_time i686_build $((SECONDS - t0))
    grep -v '^\[[0-9]*/[0-9]*\] ' "$prepared.build" || true
    echo "i686: built, exports checked"
  else
    cat "$prepared.build"
    echo "i686: build or exports check failed"
    rc=1
  fi
  rm -f "$prepared.build"
  wait "$prep_pid" && can_run=1
  cat "$prepared"
  rm -f "$prepared"
  if [ "$rc" = 0 ] && [ "$can_run" = 1 ] && [ "$stress" = 0 ]; then
    local started=$SECONDS
    if [ "$(scripts/wine32.sh mode)" = emulated ]; then
      [ $# = 0 ] || echo "i686 (emulated): the ctest arguments ($*) do not apply; the emulated programs run whole"
      # Beside the x86_64 suite, half as many programs at once: each emulated one keeps a
      # processor busy, and the x86_64 cases' time bounds need theirs.
      local emulated_jobs=$jobs
      [ "$only_emulated" = 1 ] || emulated_jobs=$(( (jobs + 1) / 2 ))
      scripts/wine32.sh run scripts/i686-emulated.sh "$root_abs/i686" "$emulated_jobs" || rc=$?
      stage_time i686_suite_emulated $((SECONDS - started))
    else
      scripts/wine32.sh run bash -c "$(declare -f run_suite); root='$root'; run_suite \"\$@\"" run i686 "$jobs" "$@" \
        2>&1 | tee "$prepared.suite" || rc=$?
      # ctest's closing summary: "N% tests passed, F tests failed out of T".
      local failed=0 total=0
      read -r failed total < <(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' \
        "$prepared.suite" | tail -n 1) || true
      rm -f "$prepared.suite"
      echo "i686 suite (native): $((total - failed)) passed$([ "$rc" = 0 ] || echo ", $failed FAILED") in $((SECONDS - started)) s"
      stage_time i686_suite_native $((SECONDS - started))
      [ "$rc" = 0 ] && touch "$i686_log.native"
    fi
  fi
  return "$rc"
}
if [ "${VORN_SKIP_I686:-}" != 1 ]; then
  i686_log=$(mktemp /tmp/vorn-i686.XXXXXX)
  i686_work "$i686_log.prepare" "$@" > "$i686_log" 2>&1 &
  i686_pid=$!
fi
finish_i686() {
  [ -n "$i686_pid" ] || return 0
  local rc=0
  wait "$i686_pid" || rc=$?
  i686_pid=
  echo "==== i686 (the 32-bit build, the product) ===="
  summarise < "$i686_log"
  rm -f "$i686_log"
  return "$rc"
}

# The figures of both builds side by side, where the i686 suite ran natively (under emulation
# they say nothing of the product's speed): deint_bench's cost per output frame of the whole
# field walk (packed fields; contrast and sharpness both off and both on) and tam_preview_bench's
# time from IPreview::Run to the first frame. Each build's in a session of its own, after the
# suites; a figure, never a test, and a bench that fails fails nothing.
bench_run() {
  local session=(scripts/wine-session.sh)
  [ "$1" = i686 ] && session=(scripts/wine32.sh run scripts/wine-session.sh)
  "${session[@]}" bash -c '
    tools/winerun "$1/bin/deint_bench.exe" --whole-field --quick --csv --layout packed || echo "deint_bench: exit status $?"
    echo "== preview"
    tools/winerun "$1/bin/tam_preview_bench.exe" 5 || echo "tam_preview_bench: exit status $?"
  ' bench "$root_abs/$1" 2>/dev/null
}
bench_figures() {
  local started=$SECONDS x86 i686
  x86=$(bench_run x86_64)
  i686=$(bench_run i686)
  echo "==== figures (benchmarks, not tests): the x86_64 build beside the i686 build (the product) ===="
  awk -v x86="$x86" -v i686="$i686" '
    function take(text, arch,   lines, n, i, f, key) {
      n = split(text, lines, "\n"); part = "deint"
      for (i = 1; i <= n; i++) {
        if (lines[i] == "== preview") { part = "preview"; continue }
        if (part == "deint" && split(lines[i], f, ",") == 6 && f[1] ~ /^[0-9]+$/ && f[2] == f[3]) {
          key = sprintf("%-4s %-20s", f[1], f[2] ? "on" : "off"); ms[key, arch] = f[5]
          if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
        } else if (part == "preview" && lines[i] ~ /^IPreview::Run to the first frame/) {
          preview[arch] = lines[i]
        } else if (lines[i] ~ /exit status/) {
          failed[arch] = failed[arch] " " lines[i]
        }
      }
    }
    BEGIN {
      take(x86, "x86_64"); take(i686, "i686")
      print "deint_bench --whole-field --quick: ms of processor time per output frame, 720x480 packed"
      printf "%-4s %-20s %10s %10s %7s\n", "mode", "contrast+sharpness", "x86_64", "i686", "ratio"
      for (k = 1; k <= keys; k++) {
        key = order[k]; a = ms[key, "x86_64"]; b = ms[key, "i686"]
        printf "%s %10s %10s %7s\n", key, a == "" ? "-" : a, b == "" ? "-" : b,
               (a > 0 && b > 0) ? sprintf("%.2f", b / a) : "-"
      }
      print "tam_preview_bench (5 runs):"
      print "  x86_64: " (("x86_64" in preview) ? preview["x86_64"] : "no figure")
      print "  i686:   " (("i686" in preview) ? preview["i686"] : "no figure")
      for (arch in failed) print "  " arch ":" failed[arch]
    }'
  echo "figures: $((SECONDS - started)) s"
}

if [ "$only_emulated" = 1 ]; then
  rc=0
  finish_i686 || rc=1
  print_stages
  exit "$rc"
fi
build_started=$SECONDS
scripts/build.sh x86_64 "$root"
stage_time x86_64_build $((SECONDS - build_started))
if [ "$stress" = 0 ]; then
  rc=0
  started=$SECONDS
  [ -n "$i686_pid" ] && echo "==== x86_64 (the i686 build and suite run beside it; their output follows) ===="
  run_suite x86_64 "$jobs" "$@" 2>&1 | summarise || rc=$?
  echo "x86_64 suite: $([ "$rc" = 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
  stage_time x86_64_suite $((SECONDS - started))
  started=$SECONDS
  finish_i686 || rc=$((rc ? rc : 1))
  stage_time waiting_for_the_i686_job $((SECONDS - started))
  if [ $# = 0 ] && [ "${VORN_SKIP_BENCH:-}" != 1 ] && [ -n "$i686_log" ] && [ -e "$i686_log.native" ]; then
    started=$SECONDS
    bench_figures
    stage_time figures $((SECONDS - started))
  fi
  [ -z "$i686_log" ] || rm -f "$i686_log.native"
  print_stages
  exit "$rc"
fi
finish_i686

# --- Stress mode --------------------------------------------------------------------------------
load_root="$root-stress-load"
case "$load_root" in *-stress-load) ;; *) echo "test.sh: unexpected load folder '$load_root'" >&2; exit 2 ;; esac
# The load build runs in a process group of its own, so that it can be stopped as a whole.
setsid bash -c '
  while :; do
    rm -rf "${1:?}"
    CCACHE_DISABLE=1 VORN_TARGETS= scripts/build.sh x86_64 "$1" >/dev/null 2>&1 || sleep 1
  done
' load "$load_root" &
load_pid=$!
stop_load() {
  kill -- "-$load_pid" 2>/dev/null || true
  wait "$load_pid" 2>/dev/null || true
  rm -rf "${load_root:?}"
}
trap stop_load EXIT
echo "stress: $stress runs of the whole suite with $((jobs * 2)) parallel tests, a build running beside them"
failed_runs=0
for run in $(seq "$stress"); do
  log=$(mktemp /tmp/vorn-stress.XXXXXX)
  started=$SECONDS
  rc=0
  run_suite x86_64 $((jobs * 2)) "$@" > "$log" 2>&1 || rc=$?
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
  failures=$(sed -n '/^The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' || true)
  section() { awk -v head="$1" 'index($0, head) == 1 { on = 1; next } /^Test programs / { on = 0 } on' "$log"; }
  starts=$(section "Test programs that did not start")
  kills=$(section "Test programs whose loader Wine killed")
  line="run $run: ${summary:-no summary (exit $rc)} in $((SECONDS - started)) s"
  echo "stress: $line"
  [ -n "$failures" ] && echo "$failures"
  [ -n "$starts" ] && { echo "  did not start at first:"; echo "$starts" | sed 's/^/    /'; }
  [ -n "$kills" ] && { echo "  loader killed by Wine after the tests had passed:"; echo "$kills" | sed 's/^/    /'; }
  if [ "$rc" = 0 ]; then
    rm -f "$log"
  else
    failed_runs=$((failed_runs + 1))
    echo "  the run's whole output (failing tests in full): $log"
  fi
done
echo "stress: $((stress - failed_runs)) of $stress runs passed"
[ "$failed_runs" = 0 ]
