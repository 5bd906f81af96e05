#!/usr/bin/env bash
# Installs the Debian packages the build and the Wine test run need (only the missing ones),
# saying what it does: the package count, then one line per stage with its elapsed time and,
# while packages download and install, a line per tenth done.
set -eu -o pipefail
pkgs=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools libwine-dev
      googletest wine wine64 xvfb socat cmake ninja-build python3 binutils-mingw-w64-x86-64
      binutils-mingw-w64-i686 x11-apps imagemagick procps clang libclang-rt-14-dev ccache)
# (clang with its fuzzer runtime builds the host fuzz targets; ccache keeps compiled objects
# between build folders and runs (scripts/build.sh). The i686 suite's 32-bit Wine is
# prepared by scripts/wine32.sh, which scripts/test.sh calls beside the i686 build; where the
# kernel runs no 32-bit code, qemu-user-static comes into that Debian root, never onto this
# machine.)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "deps: ${#missing[@]} of ${#pkgs[@]} packages missing: ${missing[*]}"
echo "deps: on a fresh system apt brings in several hundred packages (about 350 MB); this takes minutes"
sudo_cmd=""
[ "$(id -u)" = 0 ] || sudo_cmd="sudo"
started=$SECONDS
stage_start=$SECONDS
stage() { stage_start=$SECONDS; echo "deps: $1"; }
stage_done() { echo "deps:   done in $((SECONDS - stage_start)) s"; }

stage "[1/2] reading the package lists (apt-get update)"
$sudo_cmd apt-get update -qq
stage_done

# apt's machine-readable status (fd 3) gives the download and install percentages; one line per
# tenth keeps it short. Errors still reach the terminal.
stage "[2/2] downloading and installing (apt-get install)"
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq -o APT::Status-Fd=3 "${missing[@]}" \
    3>&1 >/dev/null | awk -F: '
  $1 == "dlstatus" || $1 == "pmstatus" {
    step = int($3 / 10) * 10
    key = $1 step
    if (!(key in seen)) {
      seen[key] = 1
      printf "deps:   %s %3d%%\n", ($1 == "dlstatus" ? "downloaded" : "installed "), step
      fflush()
    }
  }'
stage_done
echo "deps: all packages installed in $((SECONDS - started)) s"
