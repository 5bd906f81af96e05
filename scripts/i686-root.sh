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
#
# VORN_I686_EMULATE=1 (scripts/wine32.sh sets it where the kernel runs no 32-bit code): the root
# also holds qemu-user-static, and its i386 programs run under qemu-i386 user-mode emulation,
# while the root is made and in every run: inside a new user namespace (identity-mapped) with a
# binfmt_misc instance of its own (kernel 6.7 or later) that has one i386 entry. Entries there
# are tried before the kernel's own 32-bit loader and are seen by nothing outside the namespace;
# the machine's binfmt_misc entries are never read or touched. `i686-root.sh emulation-probe`
# says whether that works here (exit 0: the tiny 32-bit program ran emulated).
set -eu -o pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
root=${VORN_I686_ROOT:-/var/lib/vorn/i686-root}
case "$root" in /*/*) ;; *) echo "i686-root: unsafe root folder '$root'" >&2; exit 2 ;; esac
# The packages of the root. The stamp names them: a different list brings the root up to date.
packages="wine wine64 wine32:i386 xvfb socat cmake python3 procps"
stamp=$root/.vorn-root-ready
sudo_cmd=""
[ "$(id -u)" = 0 ] || sudo_cmd="sudo"
emulate=${VORN_I686_EMULATE:-0}
qemu=$root/usr/bin/qemu-i386-static
# The emulation's namespace needs root itself (the identity map of every user and group).
if [ "$emulate" = 1 ] && [ -n "$sudo_cmd" ]; then exec sudo -E "$0" "$@"; fi

mirror() {
  if [ -n "${VORN_DEBIAN_MIRROR:-}" ]; then echo "$VORN_DEBIAN_MIRROR"; return; fi
  local uri
  uri=$(grep -hoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1 | tr -d ' ' || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

in_root() { $sudo_cmd chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

# in_emulation cmd...: cmd in a new user and mount namespace whose binfmt_misc instance sends
# i386 ELF programs to the root's qemu-i386-static. The interpreter is opened when the entry is
# registered (flag F), so it serves inside the chroot too; the namespace, its mounts and its
# entry end with cmd. Every user and group maps to itself, so that files keep their owners.
in_emulation() {
  local gate pid self rc=0
  gate=$(mktemp -u /tmp/vorn-userns.XXXXXX)
  mkfifo "$gate"
  unshare --user --mount --propagation private bash -c '
    read -r _ < "$1"; rm -f "$1"
    misc=/proc/sys/fs/binfmt_misc
    mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null ||
      { echo "i686-root: no binfmt_misc instance of its own in a user namespace (kernel 6.7 or later needed)" >&2; exit 125; }
    printf ":vorn-i386:M::%s:%s:%s:FOC\n" \
      "\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00" \
      "\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff" \
      "$2" > "$misc/register" || { echo "i686-root: cannot register the i386 entry for $2" >&2; exit 125; }
    shift 2; exec "$@"
  ' emulation "$gate" "$qemu" "$@" &
  pid=$!
  self=$(readlink /proc/self/ns/user)
  for _ in $(seq 500); do
    [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" != "$self" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  if echo "0 0 4294967295" > "/proc/$pid/uid_map" && echo "0 0 4294967295" > "/proc/$pid/gid_map"; then
    echo go > "$gate"
  else
    echo "i686-root: cannot map the users of a new user namespace" >&2
    kill "$pid" 2>/dev/null
  fi
  rm -f "$gate"
  wait "$pid" || rc=$?
  return "$rc"
}

# Exit 0 when the tiny 32-bit program (exit(42) through int 0x80) runs under the root's qemu.
emulation_probe() {
  [ -x "$qemu" ] || { echo "i686-root: no $qemu (prepare the root first)" >&2; return 1; }
  local probe rc=0
  probe=$(mktemp /tmp/vorn-elf32.XXXXXX)
  "$src/scripts/elf32-probe.sh" > "$probe"
  chmod +x "$probe"
  # QEMU_STRACE makes qemu name the system call: proof that the program ran emulated.
  in_emulation env QEMU_STRACE=1 "$probe" 2>"$probe.log" || rc=$?
  [ "$rc" = 42 ] && grep -q 'exit(42)' "$probe.log" || rc=1
  rm -f "$probe" "$probe.log"
  [ "$rc" = 42 ]
}

# The root's emulator: qemu-user-static from bookworm-backports (qemu 10), else bookworm's own
# (qemu 7.2). Under 7.2 about one test program in four died within minutes ("qemu: uncaught
# target signal 11": a thread of Wine's 32-bit side found no TEB of its own on its way out);
# under 10 all of them ran, about three times faster. The backports source is the root's only.
# Installed while the root has no /proc, so that no maintainer script can reach a binfmt_misc.
qemu_major() { "$qemu" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p'; }
qemu_ready() { [ -x "$qemu" ] && [ "$(qemu_major)" -ge 10 ] 2>/dev/null; }
install_qemu() {
  qemu_ready && return 0
  echo "deb $(mirror) bookworm-backports main" | $sudo_cmd tee "$root/etc/apt/sources.list.d/vorn-backports.list" >/dev/null
  if ! { in_root apt-get update -qq &&
         in_root apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static; } >>"$root.log" 2>&1; then
    echo "deps: i686: no qemu 10 from bookworm-backports; bookworm's qemu 7.2, under which some programs die" >&2
    [ -x "$qemu" ] || in_root apt-get install -y -qq --no-install-recommends qemu-user-static >>"$root.log" 2>&1 || return 1
  fi
  [ -x "$qemu" ]
}

prepare() {
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ] && { [ "$emulate" != 1 ] || qemu_ready; }; then
    echo "$root"; return 0
  fi
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
  local note=""
  [ "$emulate" = 1 ] && note=" (its i386 programs emulated: up to 20 minutes)"
  if [ "$emulate" = 1 ] && ! install_qemu; then
    echo "deps: i686: installing qemu-user-static in the root failed (its log: $root.log)" >&2
    return 1
  fi
  echo "deps: i686: installing Wine with its 32-bit loader in the root$note" >&2
  $sudo_cmd mount -t proc proc "$root/proc"
  local rc=0
  {
    in_root dpkg --add-architecture i386 &&
    in_root apt-get update -qq &&
    if [ "$emulate" = 1 ]; then
      # The i386 maintainer scripts run under the root's emulator.
      in_emulation chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq $packages
    else
      in_root apt-get install -y -qq $packages
    fi
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
  # environment: the session and the tests read VORN_* and CI from it.) Under emulation the
  # namespace is the emulation's own, which owns no process namespace: /proc is the machine's.
  [ "$emulate" != 1 ] || [ -x "$qemu" ] || { echo "i686-root: $root has no qemu-i386-static (prepare it with VORN_I686_EMULATE=1)" >&2; exit 2; }
  local enter=(${sudo_cmd:+$sudo_cmd -E} unshare --mount --propagation private)
  [ "$emulate" = 1 ] && enter=(in_emulation)
  "${enter[@]}" bash -c '
    set -e
    root=$1 src=$2 build=$3; shift 3
    mount --rbind /dev "$root/dev"
    if [ "${VORN_I686_EMULATE:-0}" = 1 ]; then mount --rbind /proc "$root/proc"; else mount -t proc proc "$root/proc"; fi
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
  emulation-probe) emulation_probe ;;
  *) echo "usage: i686-root.sh prepare | run cmd... | emulation-probe" >&2; exit 2 ;;
esac
