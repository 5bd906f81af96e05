#!/usr/bin/env bash
# Builds the system, creates a private Wine session with the simulated hardware, starts the
# simulated picture board on the session's pty, runs the host demo against it and stops the
# board again. Exits with the demo's code.
#   scripts/demo.sh           the x86_64 build under the 64-bit Wine loader
#   scripts/demo.sh --i686    the i686 build (the product's modules) under the 32-bit loader,
#                             on this machine's wine32 or in a root of its own (scripts/wine32.sh)
# What the demo made in the session's run directory (pictures, recordings, the trace log) is
# copied into VORN_DEMO_OUTPUT (default demo-output/ at the project root), replaced on each run,
# and listed at the end.
set -eu
cd "$(dirname "$0")/.."
root=${VORN_BUILD_ROOT:-build}
arch=x86_64
case "${1:-}" in
  --i686) arch=i686 ;;
  '') ;;
  *) echo "usage: scripts/demo.sh [--i686]" >&2; exit 2 ;;
esac
scripts/deps.sh
run=()
if [ "$arch" = i686 ]; then
  scripts/wine32.sh prepare || { echo "demo: the 32-bit build cannot run here" >&2; exit 1; }
  run=(scripts/wine32.sh run)
fi
# The demo and the modules it loads, in the folder the test command builds everything into:
# scripts/test.sh then reuses what is built here.
VORN_TARGETS=vorn_demo scripts/build.sh "$arch" "$root"
bin=$(cd "$root/$arch/bin" && pwd)
board=$(pwd)/sim/board/board_sim.py
out=${VORN_DEMO_OUTPUT:-$(pwd)/demo-output}
case "$out" in /*) ;; *) out=$(pwd)/$out ;; esac
case "$out" in /|/tmp|/root|/home|"$(pwd)") echo "demo: refusing output folder '$out'" >&2; exit 2 ;; esac
rm -rf "${out:?}"
mkdir -p "$out"

# Inside the session: VORN_BOARD_PTY and VORN_RUN_DIR name the board's end of COM1 and its folder.
rc=0
"${run[@]}" scripts/wine-session.sh bash -c '
  winerun=$1 bin=$2 board=$3 out=$4
  export PYTHONDONTWRITEBYTECODE=1
  python3 "$board" start || { echo "demo: the simulated picture board did not start" >&2; exit 1; }
  rc=0
  rm -f "$VORN_RUN_DIR/demo-finished"
  "$winerun" "$bin/vorn_demo.exe" || rc=$?
  python3 "$board" stop
  echo "demo: simulated picture board stopped; vorn_demo.exe exited with $rc"
  # Success is the demo reaching its own end (its mark), never an exit status alone: the platform
  # can end a crashed process with status 0.
  if [ "$rc" = 0 ] && [ ! -f "$VORN_RUN_DIR/demo-finished" ]; then
    echo "demo: FAILED: vorn_demo.exe exited with 0 without reaching its end (it crashed or was ended)"
    rc=1
  fi
  # What the demo made; the session removes its run directory when it ends.
  for f in "$VORN_RUN_DIR"/*.png "$VORN_RUN_DIR"/*.mpg "$VORN_RUN_DIR"/*.raw "$VORN_RUN_DIR"/*.dat \
           "$VORN_RUN_DIR"/host-trace.log; do
    [ -f "$f" ] && cp "$f" "$out/"
  done
  exit $rc
' demo tools/winerun "$bin" "$board" "$out" || rc=$?

what() {
  case "$1" in
    live-preview.png) echo "the live-TV preview window on the session's display" ;;
    board-preview.png) echo "the panel as the board shows it: a frame the renderer received, its source part scaled into the board's view (yellow), the whole frame with that source (green) inset" ;;
    *-mpeg.mpg) echo "MPEG data the host received through IOutputDataCB" ;;
    *-pcm.raw) echo "PCM sound data" ;;
    *-index.dat) echo "index records" ;;
    host-trace.log) echo "the release trace of the whole session" ;;
    *) echo "" ;;
  esac
}
echo "demo: what it made, in $out:"
for f in "$out"/*; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  case "$name" in tuner1-*) family=" (second family, tuner 1)" ;; pex-*) family=" (third family)" ;; recording-*) family=" (first family)" ;; *) family="" ;; esac
  size=$(stat -c %s "$f")
  # A file is described by what it holds: an empty one holds nothing.
  if [ "$size" -eq 0 ]; then held="empty"; else held=$(what "$name"); fi
  printf '  %-34s %9s bytes  %s%s\n' "$name" "$size" "$held" "$family"
done
exit $rc
