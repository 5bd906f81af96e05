#!/usr/bin/env bash
# Runs test cases that need a Wine session to themselves (and the host demo), inside the session
# this script is started in (scripts/wine-session.sh): the simulated board on the session's pty,
# then the program with VORN_OWN_SESSION=1, which those cases wait for (they skip without it).
#   own_session.sh <python3> <board_sim.py> <emulator> <program> [program arguments...]
set -u
python=$1 board_sim=$2 emulator=$3
shift 3
export PYTHONDONTWRITEBYTECODE=1
"$python" "$board_sim" start || exit 1
rc=0
VORN_OWN_SESSION=1 "$emulator" "$@" || rc=$?
"$python" "$board_sim" stop
exit "$rc"
