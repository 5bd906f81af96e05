#!/usr/bin/env bash
# Checks the export tables of the i686 modules: every export must be undecorated (a decorated
# "DllGetClassObject@12" is invisible to COM and to GetProcAddress), and every COM module must
# export the four Dll* entry points. The three device-manager modules must be among them.
set -eu
bin=$1
objdump=${VORN_OBJDUMP:-i686-w64-mingw32-objdump}
fail=0; count=0; com=" "
for f in "$bin"/*.dll "$bin"/*.ax; do
  [ -e "$f" ] || continue
  count=$((count + 1))
  names=$("$objdump" -p "$f" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && /^[ \t]*\[/{print $NF} t && /^$/{t=0}')
  if printf '%s\n' "$names" | grep -q '@'; then
    echo "decorated exports in $(basename "$f"):"; printf '%s\n' "$names" | grep '@' | sed 's/^/  /'
    fail=1
  fi
  if printf '%s\n' "$names" | grep -qx DllGetClassObject; then
    com="$com$(basename "$f") "
    for e in DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
      printf '%s\n' "$names" | grep -qx "$e" || { echo "$(basename "$f") lacks $e"; fail=1; }
    done
  fi
done
[ "$count" -gt 0 ] || { echo "no modules found in $bin"; exit 1; }
for m in tamDevice.dll rulDevice.dll pexDevice.dll; do
  case "$com" in *" $m "*) ;; *) echo "$m is missing from $bin or exports no DllGetClassObject"; fail=1 ;; esac
done
[ "$fail" = 0 ] && echo "exports: $count i686 modules, all undecorated"
exit $fail
