#!/usr/bin/env bash
# Proves how tools/winerun judges a test program's end, with a stand-in loader that writes the
# marks a program would and then ends as told: a loader that Wine's server killed after the
# tests had passed counts as passed (and is listed), every other kill or unfinished run fails.
# Runs outside Wine.
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/vorn-winerun-selftest.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tests"
: > "$work/tests/program.exe"
cat > "$work/loader" <<'LOADER'
#!/usr/bin/env bash
marker=${VORN_START_MARKER#Z:}; marker=${marker//\\//}
printf '%b' "$FAKE_MARKS" > "$marker"
case "$FAKE_END" in kill) kill -9 $$ ;; *) exit "$FAKE_END" ;; esac
LOADER
chmod +x "$work/loader"
fail=0
# marks written | how the loader ends | expected status | listed as an exit kill
while IFS='|' read -r marks end expected listed; do
  rm -f "$work/exit-kills.log"
  rc=0
  env WINEPREFIX="$work/prefix" VORN_WINE_SESSION=1 VORN_RUN_DIR="$work" VORN_WINE64="$work/loader" \
    FAKE_MARKS="$marks" FAKE_END="$end" "$here/../tools/winerun" "$work/tests/program.exe" 2>/dev/null || rc=$?
  got_listed=no; [ -s "$work/exit-kills.log" ] && got_listed=yes
  if [ "$rc" != "$expected" ] || [ "$got_listed" != "$listed" ]; then
    echo "marks '$marks', end $end: status $rc, listed $got_listed; expected $expected, $listed"
    fail=1
  fi
done <<'CASES'
finished 0\n|kill|0|yes
finished 0\nfault\n|kill|137|no
finished 1\n|kill|137|no
|kill|137|no
|0|1|no
finished 0\n|0|0|no
finished 1\n|1|1|no
CASES
[ "$fail" = 0 ] && echo "winerun judged every end as expected"
exit "$fail"
