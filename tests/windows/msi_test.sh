#!/usr/bin/env bash
# The MSI package under Wine's msiexec, as an IT department deploys it: a
# per-machine install puts the files under Program Files\Picmeta and the
# registration keys in place, and the object is created by ProgID; a
# rebuilt package of a higher version replaces it (major upgrade: one product
# left); uninstalling leaves no file and no key.
#   msi_test.sh BUILD_DIR WINE_LOADER TEMPLATE_PREFIX ARCH(x64|x86) VERSION
set -euo pipefail
build=$1 loader=$2 template=$3 arch=$4 version=$5
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
. "$(dirname "$0")/wine_prefix.sh" msi

mkdir "$work/files"
cp "$build/picmeta.dll" "$build/picmeta.tlb" "$build/Picmeta.manifest" "$work/files/"
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
bash "$project/packaging/windows/make-msi.sh" "$arch" "$version" "$work/files" "$work/old.msi"
bash "$project/packaging/windows/make-msi.sh" "$arch" "$newer" "$work/files" "$work/new.msi"

if [ "$arch" = x64 ]; then folder="$WINEPREFIX/drive_c/Program Files/Picmeta"
else folder="$WINEPREFIX/drive_c/Program Files (x86)/Picmeta"; fi
clsid='{BDE3DA38-7E73-42F7-B70B-FA18A40C57DC}'
keys=("Software\\Classes\\CLSID\\$clsid" "Software\\Classes\\Picmeta.clsmain"
      "Software\\Classes\\Interface\\{3DC73DB1-41E8-4BE0-9925-56D3672BDFFA}"
      "Software\\Classes\\TypeLib\\{5FE5D09B-410B-4350-9FE5-D275E08E7BC0}")
expect_keys() {  # present|absent
  for key in "${keys[@]}"; do
    if wine_run reg query "HKLM\\$key" >/dev/null 2>&1; then
      [ "$1" = present ] || fail "HKLM\\$key left behind"
    else
      [ "$1" = absent ] || fail "HKLM\\$key missing"
    fi
  done
}
products() {  # the installed versions of Picmeta, one per line
  wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
    tr -d '\r' | awk '/DisplayName .*Picmeta/ {p=1} /^HKEY/ {p=0} p && /DisplayVersion/ {print $3}'
}
created() {
  printf 'Set o = CreateObject("Picmeta.clsmain")\r\no.GV_FilePath = "x"\r\nWScript.Echo "created " & o.GV_FilePath\r\n' \
    >"$work/create.vbs"
  wine_run cscript //nologo "$(win_path "$work/create.vbs")" 2>&1 | tr -d '\r' | grep -qx 'created x'
}

# Each msiexec run writes its own verbose log, shown whole when it fails.
# Each msiexec run writes its own verbose log and Wine's word on it, shown
# whole when it fails.
msiexec() {  # WHAT ACTION PACKAGE
  local log=$work/msiexec-$1.log status=0
  WINEDEBUG=err+msi,warn+msi wine_run msiexec "$2" "$(win_path "$3")" /qn /l*v "$(win_path "$log")" \
    2>"$work/msiexec-$1.err" || status=$?
  [ $status = 0 ] && return 0
  echo "---- msiexec $2 of $1 ended with status $status; its log ($log):" >&2
  tr -d '\r\0' <"$log" >&2 || true
  echo "---- and what Wine said:" >&2
  grep -v ':fixme:' "$work/msiexec-$1.err" >&2 || true
  fail "msiexec $2 of $1 failed"
}
msiexec install /i "$work/old.msi"
for f in picmeta.dll picmeta.tlb Picmeta.manifest; do [ -f "$folder/$f" ] || fail "$f not installed in $folder"; done
expect_keys present
server=$(wine_run reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" | tr -d '\r')
grep -q 'ThreadingModel.*Apartment' <<<"$server" || fail "threading model: $server"
grep -qi 'Picmeta\\picmeta.dll' <<<"$server" || fail "InprocServer32 is not the installed DLL: $server"
created || fail "no object created after installing"
[ "$(products)" = "$version" ] || fail "installed products: $(products)"
echo "ok: $version installed, object created by ProgID"

msiexec upgrade /i "$work/new.msi"
[ "$(products)" = "$newer" ] || fail "after the upgrade the installed products are: $(products)"
expect_keys present
created || fail "no object created after upgrading"
echo "ok: upgraded to $newer, one product left"

msiexec uninstall /x "$work/new.msi"
[ ! -e "$folder" ] || fail "files left behind: $(ls -A "$folder")"
expect_keys absent
[ -z "$(products)" ] || fail "still installed: $(products)"
echo "ok: uninstalled, no file and no key left"
