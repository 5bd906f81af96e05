#!/usr/bin/env bash
# Checks that a build's product folder holds exactly the shipped modules: nothing missing, and
# no double, stand-in or test program beside them.
set -u
dir=${1:?usage: check-product.sh <product folder>}
expected="AudioPacer.ax CcRelay.ax MappingSvc.exe PlanarPack.ax QfaCfc.ax QfaTesk.ax VideoPacer.ax
VornCon.dll VornConEx.dll VornPort.exe VornPortPS.dll VornVRen.ax VornVSrc.ax
pex.tlb pexDevice.dll rul.tlb rulDevice.dll tam.tlb tamDevice.dll"
want=$(printf '%s\n' $expected | sort)
have=$(cd "$dir" 2>/dev/null && ls -A | sort) || { echo "no product folder at $dir"; exit 1; }
missing=$(comm -23 <(echo "$want") <(echo "$have"))
extra=$(comm -13 <(echo "$want") <(echo "$have"))
[ -z "$missing" ] || echo "missing from $dir:" $missing
[ -z "$extra" ] || echo "not shipped, yet in $dir:" $extra
[ -z "$missing$extra" ] || exit 1
# The deinterlacing module there is the real one, not the doubles' stand-in of bin/.
if grep -aq filterdoubles "$dir/QfaTesk.ax" || ! cmp -s "$dir/QfaTesk.ax" "$dir/../bin/deinterlace/QfaTesk.ax"; then
  echo "$dir/QfaTesk.ax is not the deinterlacing module"; exit 1
fi
echo "product: $(echo "$want" | wc -l) shipped files, nothing else"
