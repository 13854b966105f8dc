#!/usr/bin/env bash
# Checks picmeta.dll as a file, without running it: it imports only system
# DLLs, exports every name of picmeta.def, exports no C function that
# picmeta.def does not list, and carries the type library as resource
# TYPELIB 1.
#   pe_check.sh OBJDUMP DLL DEF TLB
set -euo pipefail
objdump=$1 dll=$2 def=$3 tlb=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
bash "$here/imports.sh" "$objdump" "$dll"
dump=$("$objdump" -p "$dll")
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^\t\[/ {print $3} t && /^$/ {t=0}' <<<"$dump" | sort -u)
listed=$(awk '/^EXPORTS/ {e=1; next} e && NF && $1 !~ /^;/ {print $1}' "$def" | sort -u)
missing=$(comm -13 <(echo "$exports") <(echo "$listed"))
[ -z "$missing" ] || fail "picmeta.def lists names the DLL does not export: $missing"
unlisted=$(comm -23 <(grep '^picmeta_' <<<"$exports") <(echo "$listed"))
[ -z "$unlisted" ] || fail "C functions exported but not in picmeta.def: $unlisted"
echo "exports: $(wc -l <<<"$listed") names of picmeta.def"
size=$(awk '/Entry: name: .*: TYPELIB/ {t=1} t && /Leaf:/ {match($0, /Size: 0x[0-9a-fA-F]+/); print substr($0, RSTART + 6, RLENGTH - 6); exit}' <<<"$dump")
[ -n "$size" ] || fail "no TYPELIB resource"
[ $((size)) -eq "$(stat -c %s "$tlb")" ] || fail "TYPELIB resource of $((size)) bytes, picmeta.tlb has $(stat -c %s "$tlb")"
echo "type library embedded: $((size)) bytes"
