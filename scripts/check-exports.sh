#!/usr/bin/env bash
# Checks the export tables of the i686 modules: every export must be undecorated (a decorated
# "DllGetClassObject@12" is invisible to COM and to GetProcAddress), and every COM module must
# export the four Dll* entry points.
set -eu
bin=$1
objdump=${VORN_OBJDUMP:-i686-w64-mingw32-objdump}
fail=0; count=0
for f in "$bin"/*.dll "$bin"/*.ax; do
  [ -e "$f" ] || continue
  count=$((count + 1))
  names=$("$objdump" -p "$f" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && /^\s*\[/{print $NF} t && /^$/{t=0}')
  if printf '%s\n' "$names" | grep -q '@'; then
    echo "decorated exports in $(basename "$f"):"; printf '%s\n' "$names" | grep '@' | sed 's/^/  /'
    fail=1
  fi
  if printf '%s\n' "$names" | grep -qx DllGetClassObject; then
    for e in DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
      printf '%s\n' "$names" | grep -qx "$e" || { echo "$(basename "$f") lacks $e"; fail=1; }
    done
  fi
done
[ "$count" -gt 0 ] || { echo "no modules found in $bin"; exit 1; }
[ "$fail" = 0 ] && echo "exports: $count i686 modules, all undecorated"
exit $fail
