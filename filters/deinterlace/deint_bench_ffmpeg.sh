#!/usr/bin/env bash
# Our field kernels against ffmpeg's yadif and bwdif (send_field, one thread) on the same
# synthetic 720x480 frames: prints output frames per second of each and "ours / theirs" per
# mode, then the Tesk processor's whole fields (every mode, setting and layout) in ms per output
# frame beside theirs. Indicative only: the algorithms differ.
#   filters/deinterlace/deint_bench_ffmpeg.sh [build-root]   (default: build)
# Installs Debian's ffmpeg when it is missing and this is root; otherwise skips with a message.
set -eu
cd "$(dirname "$0")/../.."
root=${1:-${VORN_BUILD_ROOT:-build}}
bench="$root/x86_64/bin/deint_bench.exe"
frames=60

skip() { echo "deint_bench_ffmpeg: skipped: $*"; exit 0; }

[ -f "$bench" ] || skip "$bench is not built (scripts/build.sh x86_64 $root)"
if ! command -v ffmpeg >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "deint_bench_ffmpeg: installing Debian's ffmpeg"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q ffmpeg >/dev/null 2>&1 ||
      skip "ffmpeg could not be installed"
  fi
  command -v ffmpeg >/dev/null 2>&1 || skip "ffmpeg is not installed"
fi

work=$(mktemp -d /tmp/deint-bench.XXXXXX)
trap 'rm -rf "${work:?}"' EXIT
raw="$work/frames.yuv"
# The same generator writes the frames (yuv422p) and runs our kernels.
scripts/wine-session.sh /usr/lib/wine/wine64 "$bench" --write-frames "Z:${raw//\//\\}" "$frames" >/dev/null
[ -s "$raw" ] || skip "the frame writer produced nothing"
scripts/wine-session.sh /usr/lib/wine/wine64 "$bench" --csv --isa SSE3 >"$work/ours.csv"
scripts/wine-session.sh /usr/lib/wine/wine64 "$bench" --whole-field --csv >"$work/fields.csv"

# Processor seconds (user time, which a loaded machine does not inflate) of one ffmpeg filter
# chain over the frames looped five times; the input overhead (a null filter) is taken off below.
ffmpeg_seconds() {
  local filter=$1 out
  out=$(taskset -c 0 ffmpeg -nostdin -benchmark -loglevel info -threads 1 -filter_threads 1 -f rawvideo \
    -pix_fmt yuv422p -s 720x480 -framerate 30000/1001 -stream_loop 4 -i "$raw" -vf "$filter" -f null - 2>&1) ||
    return 1
  echo "$out" | sed -n 's/^bench: utime=\([0-9.]*\)s.*/\1/p' | tail -n 1
}
outputs=$((frames * 5 * 2))  # five loops of the frames, two output frames per input frame
base=$(ffmpeg_seconds null) || skip "ffmpeg failed"
yadif=$(ffmpeg_seconds yadif=mode=send_field:parity=tff) || skip "ffmpeg has no yadif"
bwdif=$(ffmpeg_seconds bwdif=mode=send_field:parity=tff) || skip "ffmpeg has no bwdif"
fps() { awk -v n="$outputs" -v t="$1" -v b="$base" 'BEGIN { d = t - b; if (d <= 0) d = t; print n / d }'; }
yadif_fps=$(fps "$yadif")
bwdif_fps=$(fps "$bwdif")
printf 'yadif %.1f output frames/s, bwdif %.1f (send_field, one thread, yuv422p)\n' "$yadif_fps" "$bwdif_fps"
printf '%-4s %-8s %-9s %-7s %10s %12s %12s\n' mode contrast sharpness layout "ours fps" "ours/yadif" "ours/bwdif"
grep -E '^[0-9]' "$work/ours.csv" | while IFS=, read -r mode contrast sharpness layout isa hot cold wall ns; do
  [ "$layout" = packed ] || continue
  printf '%-4s %-8s %-9s %-7s %10.1f %12.2f %12.2f\n' "$mode" "$contrast" "$sharpness" "$layout" "$hot" \
    "$(awk -v a="$hot" -v b="$yadif_fps" 'BEGIN { print a / b }')" \
    "$(awk -v a="$hot" -v b="$bwdif_fps" 'BEGIN { print a / b }')"
done

ms() { awk -v f="$1" 'BEGIN { print 1000 / f }'; }
printf '\nTesk processor, whole fields: yadif %.3f ms per output frame, bwdif %.3f\n' "$(ms "$yadif_fps")" "$(ms "$bwdif_fps")"
printf '%-4s %-8s %-9s %-7s %10s %12s %12s\n' mode contrast sharpness layout "ms/frame" "ours/yadif" "ours/bwdif"
grep -E '^[0-9]' "$work/fields.csv" | while IFS=, read -r mode contrast sharpness layout ms fps; do
  # Time ratios: below 1 means ours takes less time per frame.
  printf '%-4s %-8s %-9s %-7s %10.4f %12.2f %12.2f\n' "$mode" "$contrast" "$sharpness" "$layout" "$ms" \
    "$(awk -v a="$ms" -v b="$yadif_fps" 'BEGIN { print a * b / 1000 }')" \
    "$(awk -v a="$ms" -v b="$bwdif_fps" 'BEGIN { print a * b / 1000 }')"
done
