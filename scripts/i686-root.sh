#!/usr/bin/env bash
# The 32-bit run's own Debian 12 root, for machines whose apt cannot install wine32:i386 beside
# their own packages (amd64 packages newer than the i386 lists it can read): a minbase root from
# the main suite only, so that its amd64 and i386 versions match, with Wine (both loaders), Xvfb,
# socat, CMake (ctest) and Python 3. It is kept between runs.
#
#   i686-root.sh prepare     makes the root or brings its packages up to date; prints its path
#   i686-root.sh run cmd...  runs cmd inside the root, in a mount namespace of its own: /proc,
#                            /sys, /dev, /tmp and the source and build folders are the machine's,
#                            at the same paths (the build's test lists name them), so that
#                            nothing is left mounted when cmd ends
#
# VORN_I686_ROOT chooses the folder (default /var/lib/vorn/i686-root); VORN_DEBIAN_MIRROR the
# mirror (default the one the machine's apt sources name, else deb.debian.org). Needs root or sudo.
set -eu -o pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
root=${VORN_I686_ROOT:-/var/lib/vorn/i686-root}
case "$root" in /*/*) ;; *) echo "i686-root: unsafe root folder '$root'" >&2; exit 2 ;; esac
# The packages of the root. The stamp names them: a different list brings the root up to date.
packages="wine wine64 wine32:i386 xvfb socat cmake python3 procps"
stamp=$root/.vorn-root-ready
sudo_cmd=""
[ "$(id -u)" = 0 ] || sudo_cmd="sudo"

mirror() {
  if [ -n "${VORN_DEBIAN_MIRROR:-}" ]; then echo "$VORN_DEBIAN_MIRROR"; return; fi
  local uri
  uri=$(grep -hoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1 | tr -d ' ' || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

in_root() { $sudo_cmd chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

prepare() {
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ]; then echo "$root"; return 0; fi
  local started=$SECONDS
  if [ ! -x "$root/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null 2>&1 ||
      DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq debootstrap >/dev/null
    echo "deps: i686: making a Debian 12 root of its own in $root (a few minutes, kept for later runs)" >&2
    case "$root" in /*/*) $sudo_cmd rm -rf "${root:?}" ;; esac
    $sudo_cmd mkdir -p "$root"
    $sudo_cmd debootstrap --variant=minbase bookworm "$root" "$(mirror)" >"$root.log" 2>&1 ||
      { echo "deps: i686: debootstrap failed (its log: $root.log)" >&2; return 1; }
  fi
  echo "deps: i686: installing Wine with its 32-bit loader in the root" >&2
  $sudo_cmd mount -t proc proc "$root/proc"
  local rc=0
  {
    in_root dpkg --add-architecture i386 &&
    in_root apt-get update -qq &&
    in_root apt-get install -y -qq $packages
  } >"$root.log" 2>&1 || rc=$?
  $sudo_cmd umount "$root/proc" || true
  if [ "$rc" != 0 ]; then
    echo "deps: i686: installing in the root failed (its log: $root.log)" >&2
    return 1
  fi
  echo "$packages" | $sudo_cmd tee "$stamp" >/dev/null
  echo "deps: i686: root ready in $((SECONDS - started)) s" >&2
  echo "$root"
}

run() {
  [ -f "$stamp" ] || { echo "i686-root: $root is not prepared (scripts/deps.sh prepares it)" >&2; exit 2; }
  local build=${VORN_BUILD_ROOT:-build}
  case "$build" in /*) ;; *) build=$src/$build ;; esac
  mkdir -p "$build"
  build=$(cd "$build" && pwd)
  # The mounts live in the new namespace only and end with it. (sudo keeps the caller's
  # environment: the session and the tests read VORN_* and CI from it.)
  ${sudo_cmd:+$sudo_cmd -E} unshare --mount --propagation private bash -c '
    set -e
    root=$1 src=$2 build=$3; shift 3
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --bind /tmp "$root/tmp"
    mkdir -p "$root$src" && mount --bind "$src" "$root$src"
    case "$build/" in "$src"/*) ;; *) mkdir -p "$root$build" && mount --bind "$build" "$root$build" ;; esac
    cwd=$PWD
    exec chroot "$root" /usr/bin/env PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c "cd \"\$1\" && shift && exec \"\$@\"" cd "$cwd" "$@"
  ' run "$root" "$src" "$build" "$@"
}

case "${1:-}" in
  prepare) prepare ;;
  run) shift; [ $# -gt 0 ] || { echo "usage: i686-root.sh run cmd..." >&2; exit 2; }; run "$@" ;;
  *) echo "usage: i686-root.sh prepare | run cmd..." >&2; exit 2 ;;
esac
