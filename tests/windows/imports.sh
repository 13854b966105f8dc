#!/usr/bin/env bash
# Each Windows binary must carry its runtime (libstdc++, libgcc, winpthread,
# libxml2) and import nothing but DLLs every Windows system has.
#   imports.sh OBJDUMP FILE...
set -euo pipefail
objdump=$1
shift
system='^(KERNEL32|MSVCRT|ADVAPI32|OLEAUT32|OLE32|USER32|SHELL32)\.DLL$'
status=0
for file in "$@"; do
  imports=$("$objdump" -p "$file" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
  [ -n "$imports" ] || { echo "$file: no import table read"; status=1; continue; }
  others=$(grep -vE "$system" <<<"$imports" || true)
  if [ -n "$others" ]; then
    echo "$file imports non-system DLLs: $others"
    status=1
  else
    echo "$file imports only: $(tr '\n' ' ' <<<"$imports")"
  fi
done
exit $status
