#!/usr/bin/env bash
# The i686 test programs where they run under user-mode emulation (scripts/wine32.sh): there a
# 32-bit program starts in seconds (about a minute under qemu 7.2) and its code runs several
# times slower, so each program of scripts/i686-emulated.list runs once with all its cases (or the
# list's filter) in one process, in a Wine session of its own whose prefix is a copy of one
# made once per root (VORN_PREFIX_TEMPLATE, scripts/wine-session.sh). Programs whose cases
# depend on wall-clock timing are left out, and those the emulator cannot carry (the list says
# which and why).
#
#   i686-emulated.sh <i686 build folder> <parallel programs>
#
# Run inside `scripts/wine32.sh run`. gtest's own output of each program is kept in
# <build>/emulated/<program>.log (VORN_EMULATED_LOGS: another folder); a failing program's is printed in full. Ends with
#   "i686 (emulated): P programs, N cases passed, K programs left out (timing)"
# and fails when a program failed. VORN_EMULATED_TIMEOUT: the seconds one program may take
# (default 900); VORN_EMULATED_LIST: another list.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: i686-emulated.sh <i686 build folder> <parallel programs>}
jobs=${2:?usage: i686-emulated.sh <i686 build folder> <parallel programs>}
list=${VORN_EMULATED_LIST:-$here/i686-emulated.list}
logs=${VORN_EMULATED_LOGS:-$build/emulated}
mkdir -p "$logs" && rm -f "${logs:?}"/*.log "$logs/results.txt"
export VORN_PREFIX_TEMPLATE=${VORN_PREFIX_TEMPLATE:-/var/cache/vorn/wine-prefix}
timeout_s=${VORN_EMULATED_TIMEOUT:-900}
# The one factor for the tests' hang bounds (child processes, fuzz inputs, stall watches and the
# waits that ask for it; common/testing/time_scale.h): code runs many times slower here.
export VORN_TEST_TIME_FACTOR=${VORN_TEST_TIME_FACTOR:-5}

# The list: "<program> [gtest filter]" runs; "- <program>: <timing|emulator>: why" is left out.
mapfile -t runs < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' -e '/^-/d' "$list")
left_timing=$(grep -c '^- [^:]*: timing:' "$list")
left_emulator=$(grep -c '^- [^:]*: emulator:' "$list")

# The template first, alone (under emulation a new prefix takes minutes; every session after it
# copies it in seconds).
started=$SECONDS
"$here/wine-session.sh" true || { echo "i686 (emulated): no Wine session could be made"; exit 1; }
echo "i686 (emulated): Wine session template ready in $((SECONDS - started)) s"

# One run of a program in a session of its own: run_one <label> <program> [filter] writes the
# log <label>.log and prints "<status> <seconds> <label>". (timeout --foreground keeps the
# session in this run's process group: stopping the run stops it.)
run_one() {
  local label=$1 prog=$2 filter=${3:-} start=$SECONDS rc=0
  local exe=$build/tests/$prog.exe
  [ -f "$exe" ] || { echo "$exe: not built" > "$logs/$label.log"; echo "127 0 $label"; return; }
  (cd "$build/tests" && timeout --foreground -k 30 "$timeout_s" "$here/wine-session.sh" "$here/../tools/winerun" "$exe" \
     ${filter:+"--gtest_filter=$filter"}) > "$logs/$label.log" 2>&1 || rc=$?
  echo "$rc $((SECONDS - start)) $label"
}
export -f run_one
export here build logs timeout_s
# A program listed twice (cases apart) is labelled <program>.2 the second time.
printf '%s\n' "${runs[@]}" | awk '{ n = ++seen[$1]; print (n > 1 ? $1 "." n : $1), $0 }' |
  xargs -L 1 -P "$jobs" bash -c 'run_one "$@"' run > "$logs/results.txt"

runs_done=0 cases=0 failed=0
while read -r rc secs label; do
  runs_done=$((runs_done + 1))
  n=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$logs/$label.log" | tail -n 1)
  if [ "$rc" = 0 ] && [ -n "$n" ] && [ "$n" -gt 0 ]; then
    cases=$((cases + n))
    echo "i686 (emulated): $label: $n cases passed in $secs s"
  else
    failed=$((failed + 1))
    [ "$rc" = 124 ] && rc="$rc (its $timeout_s s were up)"
    echo "i686 (emulated): $label FAILED (exit status $rc, $secs s); its output ($logs/$label.log):"
    sed 's/^/    /' "$logs/$label.log"
  fi
done < <(sort -k3 "$logs/results.txt")
grep '^-' "$list" | sed 's/^- */i686 (emulated): left out: /'
programs=$(printf '%s\n' "${runs[@]}" | awk '{ print $1 }' | sort -u | wc -l)
line="i686 (emulated): $programs programs, $cases cases passed, $left_timing programs left out (timing)"
[ "$left_emulator" = 0 ] || line="$line, $left_emulator left out (emulator)"
[ "$failed" = 0 ] || line="$line; $failed of $runs_done runs FAILED"
echo "$line in $((SECONDS - started)) s"
[ "$failed" = 0 ]
