#!/usr/bin/env bash
# A picture folder's lock between two workstations sharing it: two Wine
# prefixes, each with a server of its own (nothing of one is seen by the
# other but the files), lock one Unix folder. While one holds it the other is
# refused; once it lets go the other has it.
# (Wine runs every program of a prefix in one session, so sessions of one
# machine cannot be told apart under it; separate servers are the stronger
# case: they share nothing but the file system, as workstations on a share.)
#   folder_lock_test.sh TESTS_EXE WINE_LOADER TEMPLATE_PREFIX
set -euo pipefail
tests=$1 loader=$2 template=$3
. "$(dirname "$0")/wine_prefix.sh" folder-lock
first=$WINEPREFIX second=$work/second
cp -a "$template" "$second"
WINEPREFIX=$second wineserver -p
trap 'WINEPREFIX=$second wineserver -k >/dev/null 2>&1 || true; cleanup' EXIT
folder=$work/shared
mkdir -p "$folder"
role() {  # PREFIX ENV...: the tests' FolderLocker role in that prefix
  local prefix=$1
  shift
  env WINEPREFIX="$prefix" PICMETA_CHILD=FolderLocker PICMETA_FOLDER="$(win_path "$folder")" "$@" \
    "$loader" "$tests" --gtest_filter=Child.FolderLocker </dev/null >/dev/null 2>&1
}
role "$first" PICMETA_READY="$(win_path "$work/ready")" PICMETA_HOLD_MS=8000 &
holder=$!
for _ in $(seq 600); do [ -e "$work/ready" ] && break; sleep 0.05; done
[ -e "$work/ready" ] || fail "the first workstation did not take the lock"
status=0
role "$second" PICMETA_TRY_MS=300 || status=$?
[ $status = 2 ] || fail "the second workstation took a lock the first holds (status $status)"
wait $holder || fail "the first workstation's holder failed"
role "$second" PICMETA_TRY_MS=3000 || fail "the second workstation was refused a free lock"
echo "a folder lock holds across two Wine servers sharing a folder"
