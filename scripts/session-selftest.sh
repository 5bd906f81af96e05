#!/usr/bin/env bash
# Proves that scripts/wine-session.sh refuses to run a command when COM1 cannot be mapped to its
# pseudo-terminal, and that it leaves no process, display or directory of its own behind
# (`session-selftest.sh refusal`, the default); or (`session-selftest.sh desktop`) that a program
# which needs the desktop after the session stood idle does not hand its stderr to the desktop
# process, which would hold a test's output pipe open for the rest of the run; or
# (`session-selftest.sh displays`) that sessions started at the same moment each run on an X
# server of their own.
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
# Runs inside the session: waits until an unused desktop would have closed (at most 5 s), starts
# a program that needs the desktop with its stderr on a file, and lists the desktop processes
# holding that file once the program runs.
desktop_probe() {
  desktops() {
    local p
    for p in $(pgrep -f 'explorer\.exe'); do
      tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$p"
    done
  }
  for _ in $(seq 50); do [ -z "$(desktops)" ] && break; sleep 0.1; done
  local dir=$VORN_RUN_DIR/probe
  mkdir -p "$dir" && mkfifo "$dir/in" || return 2
  "$VORN_WINE64" cmd /c "rundll32 user32.dll,GetDesktopWindow&echo ready&pause" <"$dir/in" >"$dir/out" 2>"$dir/err" &
  exec 8<>"$dir/in"
  for _ in $(seq 600); do grep -qs ready "$dir/out" && break; sleep 0.05; done
  grep -qs ready "$dir/out" || { echo "the probe program did not start"; return 2; }
  local p held=""
  for p in $(desktops); do
    ls -l "/proc/$p/fd" 2>/dev/null | grep -q -- "-> $dir/err" && held="$held $p"
  done
  [ -z "$held" ] || { echo "desktop process$held holds the probe's stderr"; return 1; }
}

check_desktop() {
  local out rc=0
  out=$(env -u VORN_WINE_SESSION -u WINEPREFIX VORN_WINE64="${VORN_WINE64:-/usr/lib/wine/wine64}" \
        "$here/wine-session.sh" bash -c "$(declare -f desktop_probe); desktop_probe" 2>/dev/null) || rc=$?
  if [ "$rc" = 0 ]; then echo "desktop: a program that needs it keeps its stderr to itself"
  else echo "desktop: ${out:-session failed with exit code $rc}"; fail=1; fi
}

# Four sessions at once; each reports whether the server that holds its display's lock is the
# Xvfb it started itself.
check_displays() {
  local i dir out=""
  dir=$(mktemp -d /tmp/vorn-selftest.XXXXXX) || { echo "displays: no scratch folder"; fail=1; return; }
  for i in 1 2 3 4; do
    env -u VORN_WINE_SESSION -u WINEPREFIX VORN_SESSION_INFO="$dir/info.$i" "$here/wine-session.sh" \
      bash -c 'n=${DISPLAY#:}; echo "$DISPLAY $(tr -d " \n" < /tmp/.X$n-lock) $(sed -n "s/^xvfb=//p" "$VORN_SESSION_INFO")"' \
      > "$dir/out.$i" 2>/dev/null &
  done
  wait
  for i in 1 2 3 4; do
    read -r display owner own < "$dir/out.$i" || { echo "displays: session $i did not run"; fail=1; continue; }
    [ "$owner" = "$own" ] || { echo "displays: session $i ran on $display, the server of another session"; fail=1; }
    out="$out $display"
  done
  case "${dir:?}" in /tmp/vorn-selftest.??????) rm -rf "${dir:?}" ;; esac
  [ "$fail" = 0 ] && echo "displays: four sessions at once, each on a server of its own:$out"
}

case "${1:-refusal}" in
  refusal)
    check_case "no pseudo-terminal" VORN_SOCAT=/bin/false
    check_case "COM1 pointed elsewhere" VORN_COM1_TARGET=/dev/null ;;
  desktop) check_desktop ;;
  displays) check_displays ;;
  *) echo "usage: session-selftest.sh [refusal|desktop|displays]" >&2; exit 2 ;;
esac
exit $fail
