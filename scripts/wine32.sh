#!/usr/bin/env bash
# Where the i686 build's programs run: under the 32-bit loader of Debian's wine32 package, on
# this machine when its apt can install wine32:i386, else in a Debian 12 root of its own
# (scripts/i686-root.sh). Where this machine's kernel runs no 32-bit code, in that root under
# qemu-i386 user-mode emulation (a binfmt_misc entry private to the run's own user namespace;
# kernel 6.7 or later): VORN_I686_EMULATE=1 takes that path even where 32-bit code runs natively.
#
#   wine32.sh prepare     makes the 32-bit run possible if this machine can have it. Prints one
#                         line saying where the i686 suite runs, or why it cannot; exits 0 when it
#                         can run, 1 when not. It never fails the set-up of the x86_64 run: a step
#                         that cannot be had is undone and reported.
#   wine32.sh run cmd...  runs cmd where the 32-bit loader is (VORN_WINE32 names it)
#   wine32.sh mode        prints "native" or "emulated": how the i686 programs run here
set -u
here=$(cd "$(dirname "$0")" && pwd)
sudo_cmd=""
[ "$(id -u)" = 0 ] || sudo_cmd="sudo"
loader32=/usr/lib/wine/wine

# A tiny 32-bit Linux program (exit(42) through int 0x80): whether this kernel runs 32-bit code
# at all, whatever the machine is called.
runs_32bit_code() {
  local probe rc=0
  probe=$(mktemp /tmp/vorn-elf32.XXXXXX) || return 1
  "$here/elf32-probe.sh" > "$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  [ "$rc" = 42 ]
}

# Emulated: forced, or this kernel runs no 32-bit code.
emulated() { [ "${VORN_I686_EMULATE:-0}" = 1 ] || ! runs_32bit_code; }

# Kernel 6.7 or later: a user namespace can have a binfmt_misc instance of its own.
kernel_has_private_binfmt() {
  local major minor
  IFS=. read -r major minor _ <<< "$(uname -r)"
  grep -qw binfmt_misc /proc/filesystems 2>/dev/null &&
    { [ "${major:-0}" -gt 6 ] || { [ "${major:-0}" = 6 ] && [ "${minor%%[!0-9]*}" -ge 7 ]; }; }
}

# The emulated run: the root with qemu-user-static, and the probe run under it.
prepare_emulated() {
  local root=${VORN_I686_ROOT:-/var/lib/vorn/i686-root} why="this machine's kernel runs no 32-bit programs"
  [ "${VORN_I686_EMULATE:-0}" = 1 ] && why="forced by VORN_I686_EMULATE=1"
  if [ "$sudo_cmd" = sudo ] && ! sudo -n true 2>/dev/null; then
    echo "i686 suite not run: $why, and its emulation needs root or password-less sudo"
    return 1
  fi
  if ! kernel_has_private_binfmt; then
    echo "i686 suite not run: $why, and this kernel ($(uname -r)) gives a user namespace no binfmt_misc of its own (6.7 or later does)"
    return 1
  fi
  if VORN_I686_EMULATE=1 "$here/i686-root.sh" prepare >/dev/null && root_ready &&
     VORN_I686_EMULATE=1 "$here/i686-root.sh" emulation-probe; then
    local qemu
    qemu=$("$root/usr/bin/qemu-i386-static" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([^ ]*\).*/\1/p')
    echo "i686 (emulated): runs in the Debian root $root under qemu-i386 ${qemu:-?} user-mode emulation ($why; a binfmt_misc entry of the run's own namespace)"
    return 0
  fi
  echo "i686 suite not run: $why, and the emulation in the Debian root $root could not be set up"
  return 1
}

on_machine() {
  [ -x "$loader32" ] && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'
}

root_ready() {
  local root=${VORN_I686_ROOT:-/var/lib/vorn/i686-root}
  [ -f "$root/.vorn-root-ready" ] && [ -x "$root$loader32" ]
}

# wine32:i386 on this machine, if apt resolves it with the amd64 packages installed. An i386
# architecture added for the attempt is taken away again when the attempt fails.
install_on_machine() {
  local added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386 || return 1
    added=1
  fi
  $sudo_cmd apt-get update -qq >/dev/null 2>&1 || true
  if DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq -s wine32:i386 >/dev/null 2>&1 &&
     DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq wine32:i386 >/dev/null 2>&1 &&
     on_machine; then
    return 0
  fi
  if [ "$added" = 1 ] && [ -z "$(dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -x i386)" ]; then
    $sudo_cmd dpkg --remove-architecture i386 && $sudo_cmd apt-get update -qq >/dev/null 2>&1 || true
  fi
  return 1
}

prepare() {
  if emulated; then prepare_emulated; return; fi
  if on_machine; then echo "i686 suite: runs under this machine's wine32 ($loader32)"; return 0; fi
  if root_ready; then
    "$here/i686-root.sh" prepare >/dev/null 2>&1 || true
    echo "i686 suite: runs in the Debian root ${VORN_I686_ROOT:-/var/lib/vorn/i686-root} (its wine32)"
    return 0
  fi
  if [ "$sudo_cmd" = sudo ] && ! sudo -n true 2>/dev/null; then
    echo "i686 suite not run: installing wine32 needs root or password-less sudo"
    return 1
  fi
  echo "deps: i686: installing wine32:i386 (the 32-bit Wine loader)" >&2
  if install_on_machine; then echo "i686 suite: runs under this machine's wine32 ($loader32)"; return 0; fi
  echo "deps: i686: apt cannot install wine32:i386 beside this machine's packages; using a root of its own" >&2
  if "$here/i686-root.sh" prepare >/dev/null && root_ready; then
    echo "i686 suite: runs in the Debian root ${VORN_I686_ROOT:-/var/lib/vorn/i686-root} (its wine32)"
    return 0
  fi
  echo "i686 suite not run: neither this machine's apt nor a Debian root of its own gave wine32:i386"
  return 1
}

case "${1:-}" in
  prepare) prepare ;;
  run)
    shift
    [ $# -gt 0 ] || { echo "usage: wine32.sh run cmd..." >&2; exit 2; }
    export VORN_WINE32=$loader32
    if emulated; then
      root_ready && VORN_I686_EMULATE=1 exec "$here/i686-root.sh" run "$@"
      echo "wine32: no emulated 32-bit Wine here (scripts/wine32.sh prepare)" >&2
      exit 125
    fi
    if on_machine; then exec "$@"; fi
    if root_ready; then exec "$here/i686-root.sh" run "$@"; fi
    echo "wine32: no 32-bit Wine loader here (scripts/wine32.sh prepare)" >&2
    exit 125 ;;
  mode) if emulated; then echo emulated; else echo native; fi ;;
  *) echo "usage: wine32.sh prepare | run cmd... | mode" >&2; exit 2 ;;
esac
