#!/usr/bin/env bash
# Fails when the library's code reaches upward, or past its own rooms:
#  - an #include "..." of a layer above the including file's (bindings ->
#    capture -> records, reader -> xml, scramble -> os; see CMakeLists.txt);
#  - libxml2 included anywhere but platform/xml/;
#  - a platform test (_WIN32) anywhere but platform/os/;
#  - a public header (include/picmeta/) that includes anything but standard
#    headers and its siblings.
#   scripts/check-layers.sh [ROOT]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layer() {  # PATH: the layer a file or an included path belongs to
  case "$1" in
    include/picmeta/*|picmeta/*) echo public ;;
    platform/os/*) echo os ;;
    platform/xml/*) echo xml ;;
    reader/*) echo reader ;;
    scramble/*) echo scramble ;;
    records/*) echo records ;;
    capture/*) echo capture ;;
    bindings/*) echo bindings ;;
    *) echo other ;;
  esac
}
declare -A allowed=(
  [public]="public"
  [os]="os"
  [xml]="xml os"
  [reader]="reader os"
  [scramble]="scramble os"
  [records]="records xml scramble os"
  [capture]="capture records reader xml scramble os public"
  [bindings]="bindings capture os public"
)

status=0
fail() { echo "check-layers: $*"; status=1; }
files=$(git ls-files 'include/picmeta/*' 'platform/*' 'reader/*' 'scramble/*' 'records/*' 'capture/*' 'bindings/*' |
        grep -E '\.(h|cpp)$')
for file in $files; do
  from=$(layer "$file")
  while IFS= read -r included; do
    to=$(layer "$included")
    # (the COM server's headers generated from its IDL and version)
    [[ "$file" == bindings/win/* && "$included" != */* ]] && continue
    [ "$to" = other ] && { fail "$file includes \"$included\", which is in no layer"; continue; }
    [[ " ${allowed[$from]} " == *" $to "* ]] || fail "$file ($from) includes \"$included\" ($to)"
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
  if [ "$from" != xml ] && grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<libxml/' "$file"; then
    fail "$file includes libxml2 (only platform/xml/ does)"
  fi
  if [ "$from" != os ] && [[ "$file" != bindings/win/* ]] && grep -qE '^[[:space:]]*#[[:space:]]*if.*_WIN32' "$file"; then
    [ "$file" = include/picmeta/export.h ] || fail "$file tests _WIN32 (only platform/os/ does)"
  fi
done
# The tools are programs of their own: only their platform tests are held to
# the rule.
for file in $(git ls-files 'tools/*.cpp' 'tools/*.h'); do
  if grep -qE '^[[:space:]]*#[[:space:]]*if.*_WIN32' "$file"; then fail "$file tests _WIN32 (only platform/os/ does)"; fi
done
[ $status = 0 ] && echo "check-layers: every include goes downward"
exit $status
