#!/usr/bin/env bash
# Runs one command inside a private, throw-away Wine session:
#   a new WINEPREFIX and run directory under /tmp, Xvfb on a free display (started before any
#   Wine process), a socat pseudo-terminal pair with COM1 mapped to one end (verified before the
#   command runs: unmapped, COM1 is this machine's console), one kept-alive wineserver and a desktop
#   kept up for the whole session.
# Exports to the command: WINEPREFIX, DISPLAY, VORN_WINE_SESSION=1, VORN_RUN_DIR and
# VORN_BOARD_PTY (the peer end, where the simulated picture board attaches).
# Tears everything down on exit and returns the command's exit code.
#
# VORN_PREFIX_TEMPLATE=<dir>: the prefix is a copy of the one kept in <dir>, made there by the
# first session that names it (the emulated i686 run: there a new prefix costs minutes, a copy
# seconds). A template of another Wine or of another version of this script is made anew.
#
# Test hooks: VORN_SOCAT (socat program), VORN_COM1_TARGET (what COM1 is pointed at instead of
# the pty), VORN_SESSION_INFO (file that receives the run directory and helper PIDs).
set -u

die() { echo "wine-session: $*" >&2; exit 3; }
[ $# -gt 0 ] || die "usage: wine-session.sh command [args...]"

WINE64=${VORN_WINE64:-/usr/lib/wine/wine64}
WINESERVER_BIN=${VORN_WINESERVER:-/usr/lib/wine/wineserver64}
SOCAT=${VORN_SOCAT:-socat}
[ -x "$WINE64" ] || die "64-bit Wine loader not found at $WINE64 (run scripts/deps.sh)"

RUN_DIR=$(mktemp -d /tmp/vorn-run.XXXXXX) || die "cannot create run directory"
case "$RUN_DIR" in /tmp/vorn-run.??????) ;; *) die "unexpected run directory '$RUN_DIR'";; esac
XVFB_PID=""; SOCAT_PID=""; SERVER_STARTED=0

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  if [ "$SERVER_STARTED" = 1 ]; then
    WINEPREFIX="$RUN_DIR/prefix" WINESERVER="$WINESERVER_BIN" "$WINESERVER_BIN" -k >/dev/null 2>&1
    WINEPREFIX="$RUN_DIR/prefix" WINESERVER="$WINESERVER_BIN" timeout 20 "$WINESERVER_BIN" -w >/dev/null 2>&1
  fi
  for pid in $SOCAT_PID $XVFB_PID; do
    kill "$pid" 2>/dev/null
  done
  for pid in $SOCAT_PID $XVFB_PID; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
  done
  # Only ever the directory this run created.
  case "${RUN_DIR:?}" in /tmp/vorn-run.??????) rm -rf "${RUN_DIR:?}" ;; esac
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# 1. Pseudo-terminal pair: com1 (Wine's side) and board (the simulated picture board's side).
"$SOCAT" pty,raw,echo=0,link="$RUN_DIR/com1" pty,raw,echo=0,link="$RUN_DIR/board" >/dev/null 2>&1 </dev/null &
SOCAT_PID=$!
[ -n "${VORN_SESSION_INFO:-}" ] && printf 'run_dir=%s\nsocat=%s\n' "$RUN_DIR" "$SOCAT_PID" > "$VORN_SESSION_INFO"
for _ in $(seq 100); do
  [ -e "$RUN_DIR/com1" ] && [ -e "$RUN_DIR/board" ] && break
  kill -0 "$SOCAT_PID" 2>/dev/null || break
  sleep 0.05
done
[ -e "$RUN_DIR/com1" ] && [ -e "$RUN_DIR/board" ] || die "no pseudo-terminal pair; refusing to run (COM1 would stay the console)"
PTY=$(readlink -f "$RUN_DIR/com1")
case "$PTY" in /dev/pts/*) ;; *) die "COM1 end '$PTY' is not a pseudo-terminal";; esac

# 2. Xvfb on a free display, before any Wine process. The display is ours only when our Xvfb
#    holds its lock file (the file names the server's pid): sessions started at the same moment
#    pick the same free number, and the socket that appears may be another session's server,
#    while ours is about to give up on the lock. A session that took that display would lose its
#    server when the other session ends, and a window made after that would be made on whatever
#    server next takes the number (seen: "BadColor" at X_CreateWindow, a colormap of the old one).
xvfb_owns() { [ "$(tr -d ' \n' < "/tmp/.X$1-lock" 2>/dev/null)" = "$XVFB_PID" ]; }
for n in $(seq 90 250); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -nolisten tcp -screen 0 1280x1024x24 >/dev/null 2>&1 </dev/null &
  XVFB_PID=$!
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && xvfb_owns "$n" && break
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.05
  done
  if [ -e "/tmp/.X11-unix/X$n" ] && xvfb_owns "$n" && kill -0 "$XVFB_PID" 2>/dev/null; then
    export DISPLAY=":$n"; break
  fi
  kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; XVFB_PID=""
done
[ -n "$XVFB_PID" ] || die "no free X display"
[ -n "${VORN_SESSION_INFO:-}" ] && printf 'xvfb=%s\n' "$XVFB_PID" >> "$VORN_SESSION_INFO"

# 3. The prefix: created, configured, and its first server left to exit.
export WINEPREFIX="$RUN_DIR/prefix" WINESERVER="$WINESERVER_BIN" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
SERVER_STARTED=1
COM1_TARGET=${VORN_COM1_TARGET:-$RUN_DIR/com1}
prefix_start=$SECONDS
template=${VORN_PREFIX_TEMPLATE:-}
template_key=""
if [ -n "$template" ]; then
  case "$template" in /*/*) ;; *) die "unsafe prefix template folder '$template'";; esac
  template_key="$("$WINE64" --version 2>/dev/null) $(sha1sum < "$0" | cut -d' ' -f1)"
fi
if [ -n "$template" ] && [ "$(cat "$template/.vorn-template" 2>/dev/null)" = "$template_key" ]; then
  cp -a "$template" "$WINEPREFIX" && rm -f "$WINEPREFIX/.vorn-template" || die "cannot copy the prefix template $template"
  {
    "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$COM1_TARGET" /f
    "$WINESERVER_BIN" -w
  } >/dev/null 2>&1 </dev/null
  echo "wine-session: Wine prefix copied from $template in $((SECONDS - prefix_start)) s" >&2
else
echo "wine-session: creating a private Wine prefix (10-25 s)..." >&2
{
  "$WINE64" wineboot -i
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  # No sound card here: no audio driver, so that no process prints ALSA's complaints about it.
  "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d '' /f
  "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$COM1_TARGET" /f
  # A crashing program ends at once: no debugger, no crash dialog waiting on the display.
  "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  "$WINE64" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f
  "$WINESERVER_BIN" -w
} >/dev/null 2>&1 </dev/null
[ -d "$WINEPREFIX/dosdevices" ] || die "Wine prefix was not created"
echo "wine-session: Wine prefix ready in $((SECONDS - prefix_start)) s" >&2
if [ -n "$template" ]; then
  # Kept under a name of its own first, so that a session beside this one never copies half a
  # template; the first of two sessions that made one keeps it.
  mkdir -p "$(dirname "$template")" && rm -rf "${template:?}.new.$$" &&
    cp -a "$WINEPREFIX" "$template.new.$$" && echo "$template_key" > "$template.new.$$/.vorn-template" &&
    { [ "$(cat "$template/.vorn-template" 2>/dev/null)" = "$template_key" ] ||
      { rm -rf "${template:?}"; mv -T "$template.new.$$" "$template"; }; } ||
    echo "wine-session: could not keep the prefix as the template $template" >&2
  rm -rf "${template:?}.new.$$"
fi
fi

# 4. One kept-alive server, warmed up with stdio on /dev/null (its system processes must not
#    inherit the test runner's pipes).
"$WINESERVER_BIN" -p >/dev/null 2>&1 </dev/null
"$WINE64" cmd /c exit >/dev/null 2>&1 </dev/null
# The desktop, started now with stdio on /dev/null and kept up by a user of the session's own
# until the server goes. Left alone, the desktop process (explorer.exe) leaves about a second
# after its last user and the next program that makes a window - a COM apartment's first thread
# does - starts it again with that program's stderr: under ctest the test's output pipe, held
# open for the rest of the run, so that a test which passed does not end before its time-out.
# (rundll32 makes a window; cmd waits for it, then stays a user of the desktop.)
mkfifo "$RUN_DIR/desktop-user" || die "cannot create the desktop user's input"
"$WINE64" cmd /c "rundll32 user32.dll,GetDesktopWindow&echo ready&pause" \
  <"$RUN_DIR/desktop-user" >"$RUN_DIR/desktop-user.log" 2>/dev/null &
exec 9<>"$RUN_DIR/desktop-user"  # never written: the user waits on it until the server goes
# Up to 90 s: a session started beside a full suite and a build (a test's own session) has
# taken more than 30.
for _ in $(seq 1800); do
  grep -qs ready "$RUN_DIR/desktop-user.log" && break
  sleep 0.05
done
grep -qs ready "$RUN_DIR/desktop-user.log" || die "the session's desktop user did not start"

# 5. COM1 to our pty and nothing else to a host serial device; verify before anything runs.
for link in "$WINEPREFIX"/dosdevices/com*; do
  [ -L "$link" ] || continue
  case "$(basename "$link")" in com1) ;; *) rm -f "$link" ;; esac
done
ln -sfn "$COM1_TARGET" "$WINEPREFIX/dosdevices/com1"
mapped=$(readlink -f "$WINEPREFIX/dosdevices/com1" 2>/dev/null)
[ "$mapped" = "$PTY" ] && [ -c "$mapped" ] || die "COM1 is mapped to '$mapped', not to the session's pseudo-terminal $PTY; refusing to run"
others=$(find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' ! -name com1 2>/dev/null)
[ -z "$others" ] || die "other serial links remain: $others"

export VORN_WINE_SESSION=1 VORN_RUN_DIR="$RUN_DIR" VORN_BOARD_PTY="$RUN_DIR/board"
"$@" 9>&-
