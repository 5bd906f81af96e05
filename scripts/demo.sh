#!/usr/bin/env bash
# Builds the system (x86_64), creates a private Wine session with the simulated hardware, starts
# the simulated picture board on the session's pty, runs the host demo against it and stops the
# board again. Exits with the demo's code.
set -eu
cd "$(dirname "$0")/.."
root=${VORN_BUILD_ROOT:-build}
scripts/deps.sh
# The demo and the modules it loads, in the folder the test command builds everything into:
# scripts/test.sh then reuses what is built here.
VORN_TARGETS=vorn_demo scripts/build.sh x86_64 "$root"
bin=$(cd "$root/x86_64/bin" && pwd)
board=$(pwd)/sim/board/board_sim.py

# Inside the session: VORN_BOARD_PTY and VORN_RUN_DIR name the board's end of COM1 and its folder.
exec scripts/wine-session.sh bash -c '
  winerun=$1 bin=$2 board=$3
  export PYTHONDONTWRITEBYTECODE=1
  python3 "$board" start || { echo "demo: the simulated picture board did not start" >&2; exit 1; }
  rc=0
  "$winerun" "$bin/vorn_demo.exe" || rc=$?
  python3 "$board" stop
  echo "demo: simulated picture board stopped; vorn_demo.exe exited with $rc"
  exit $rc
' demo tools/winerun "$bin" "$board"
