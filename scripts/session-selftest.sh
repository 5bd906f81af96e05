#!/usr/bin/env bash
# Proves that scripts/wine-session.sh refuses to run a command when COM1 cannot be mapped to its
# pseudo-terminal, and that it leaves no process, display or directory of its own behind.
set -u
here=$(cd "$(dirname "$0")" && pwd)
fail=0
check_case() {
  local label=$1; shift
  local info; info=$(mktemp /tmp/vorn-selftest.XXXXXX)
  local marker; marker=$(mktemp -u /tmp/vorn-selftest-ran.XXXXXX)
  env -u VORN_WINE_SESSION -u WINEPREFIX "$@" VORN_SESSION_INFO="$info" \
    "$here/wine-session.sh" touch "$marker" >/dev/null 2>"$info.err"
  local rc=$?
  local run_dir xvfb socat_pid
  run_dir=$(sed -n 's/^run_dir=//p' "$info"); xvfb=$(sed -n 's/^xvfb=//p' "$info")
  socat_pid=$(sed -n 's/^socat=//p' "$info")
  [ "$rc" = 3 ] || { echo "$label: exit code $rc, expected 3"; fail=1; }
  [ ! -e "$marker" ] || { echo "$label: the command ran"; fail=1; rm -f "$marker"; }
  grep -q refusing "$info.err" || { echo "$label: no refusal message"; cat "$info.err"; fail=1; }
  [ -n "$run_dir" ] && [ -e "$run_dir" ] && { echo "$label: $run_dir left behind"; fail=1; }
  for pid in $xvfb $socat_pid; do
    kill -0 "$pid" 2>/dev/null && { echo "$label: helper $pid still running"; fail=1; }
  done
  if [ -n "$run_dir" ] && grep -lsa "WINEPREFIX=$run_dir" /proc/[0-9]*/environ >/dev/null 2>&1; then
    echo "$label: a Wine process of $run_dir is still running"; fail=1
  fi
  rm -f "$info" "$info.err"
  [ "$fail" = 0 ] && echo "$label: refused and cleaned up"
}
check_case "no pseudo-terminal" VORN_SOCAT=/bin/false
check_case "COM1 pointed elsewhere" VORN_COM1_TARGET=/dev/null
exit $fail
