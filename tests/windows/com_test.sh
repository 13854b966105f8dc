#!/usr/bin/env bash
# The COM server as hosts use it, under Wine: registered in a fresh prefix
# (machine-wide, then for the current user only), driven by late binding from
# VBScript (cscript of the DLL's bitness) and by early binding from a C++
# client, with folders written with "\" and with "/". Each run must leave the
# same record files as the same calls made through picmeta.exe, and
# unregistering must leave no key behind.
#   com_test.sh BUILD_DIR WINE_LOADER TEMPLATE_PREFIX
set -euo pipefail
build=$1 loader=$2 template=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$(dirname "$0")/wine_prefix.sh" com

cli() { wine_run "$build/picmeta.exe" "$@"; }

dll=$(win_path "$build/picmeta.dll")
clsid='{BDE3DA38-7E73-42F7-B70B-FA18A40C57DC}'
iid='{3DC73DB1-41E8-4BE0-9925-56D3672BDFFA}'
libid='{5FE5D09B-410B-4350-9FE5-D275E08E7BC0}'
keys=("Software\\Classes\\CLSID\\$clsid" "Software\\Classes\\Picmeta.clsmain"
      "Software\\Classes\\Interface\\$iid" "Software\\Classes\\TypeLib\\$libid")
has_key() { wine_run reg query "$1\\$2" >/dev/null 2>&1; }
expect_keys() {  # ROOT present|absent
  for key in "${keys[@]}"; do
    if [ "$2" = present ]; then has_key "$1" "$key" || fail "$1\\$key missing"
    else ! has_key "$1" "$key" || fail "$1\\$key left behind"; fi
  done
}

# A sample case, and the same calls made through picmeta.exe on a twin of it.
new_case() { cli demo "$(win_path "$1")" >/dev/null; }
reference() {  # DIR OPERNAME SECOND-PICTURE (relative to the case root, "\" separators)
  new_case "$1"
  local r business
  r=$(win_path "$1")
  business=(--orgid 3100000ABCDEF001 --busiorgid 31000 --operno 0815 --opername "$2" --busi-time "2011-08-11 14:30:05")
  cli write --app-path "$r\\app" "${business[@]}" >/dev/null
  cli new-write --app-path "$r\\app" --file "$r\\app\\top\\case\\IMG_0003.JPG" "${business[@]}" >/dev/null
  cli new-write --app-path "$r\\app" --file "$r\\$3" "${business[@]}" >/dev/null
  cli delete --folder "$r\\app\\top\\case" --picture IMG_0001.JPG >/dev/null
  cli read-exif --temp-path "$r\\pictures" --app-path "$r\\app" --busitype 2 --class-code "" \
    "${business[@]}" --systemid CLAIMS --busi-process survey --ip 10.0.0.8 >/dev/null
  # (an exit status tells whether something was written: the records are compared below)
  cli copy --folder "$r\\app" --temp-path "$r\\pictures" --operno 0815 >/dev/null || true
}

# The record files of a case, hand-overs unscrambled, with the times that
# depend on the clock or the file system blanked.
records() {
  (cd "$1" && find . -name 'exif*.xml' | LC_ALL=C sort) | while read -r f; do
    echo "== ${f//_20[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]/_TIME}"
    if [[ $(basename "$f") == exif_* ]]; then
      cli unscramble --force "$(win_path "$1/$f")" "$(win_path "$work/plain.xml")"
      cat "$work/plain.xml"
    else
      cat "$1/$f"
    fi | sed -E 's/(Transdate|Datecreat|Datemodified)="[^"]*"/\1=""/g'
  done
}
reference "$work/ascii" op 'app\top\case\IMG_0002.JPG'
records "$work/ascii" >"$work/ascii.txt"
reference "$work/chinese" 张三 'pictures\车险\定损\现场照片\front.jpg'
records "$work/chinese" >"$work/chinese.txt"
grep -q 'Filename="IMG_0003.JPG"' "$work/chinese.txt" || fail "the reference run recorded nothing"
grep -q 'Filename="front.jpg"' "$work/chinese.txt" || fail "the reference run did not hand over front.jpg"

check_run() {  # NAME CASE REFERENCE RESULT EXPECTED-LINES...
  local name=$1 dir=$2 expected=$3 result=$4
  shift 4
  tr -d '\r' <"$result" >"$result.txt"  # the script writes CRLF lines
  for line in "$@"; do grep -qxF "$line" "$result.txt" || fail "$name: no '$line' in $(cat "$result.txt")"; done
  records "$dir" >"$work/$name.txt"
  diff -u "$work/$expected.txt" "$work/$name.txt" || fail "$name: record files differ from picmeta.exe's"
  echo "ok: $name"
}
steps=("create ok" "GV_FilePath empty yes" "GV_FilePath kept yes" "WriteDatatoXML ok" "NewWriteDatatoXML ok"
       "DeleteDatafromXML ok" "ReadEXIF ok" "CopyExifInfo ok" "missing ok")
sed 's/$/\r/' "$here/late_binding.vbs" >"$work/late.vbs"
vbscript() {  # CASE SEPARATOR RESULT
  wine_run cscript //nologo "$(win_path "$work/late.vbs")" "$(win_path "$1")" "$2" "$(win_path "$3")" \
    >"$work/cscript.log" 2>&1 || true
  [ -f "$3" ] || fail "the script wrote no results: $(cat "$work/cscript.log")"
}

# ---- Machine-wide -------------------------------------------------------------------
wine_run regsvr32 /s "$dll" || fail "regsvr32 failed"
expect_keys HKLM present
server=$(wine_run reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" | tr -d '\r')
grep -q 'ThreadingModel.*Apartment' <<<"$server" || fail "threading model: $server"
new_case "$work/late"
vbscript "$work/late" '\' "$work/late.result"
check_run late-binding "$work/late" ascii "$work/late.result" "${steps[@]}" "done"
new_case "$work/early"
wine_run "$build/tests/com_client.exe" "$(win_path "$work/early")" / "$(win_path "$work/early.result")" ||
  fail "com_client failed"
check_run early-binding "$work/early" chinese "$work/early.result" "${steps[@]}" "released 0" "unload ok" \
  "c-interface ok"
wine_run regsvr32 /s /u "$dll" || fail "regsvr32 /u failed"
expect_keys HKLM absent
echo "ok: unregistered machine-wide"

# ---- Per user, without administrator rights -------------------------------------------
wine_run regsvr32 /s /n /i:user "$dll" || fail "regsvr32 /n /i:user failed"
expect_keys HKCU present
expect_keys HKLM absent
# Wine's HKEY_CLASSES_ROOT shows HKLM\Software\Classes only (Windows merges
# the user's classes over it), so here the user's keys are checked by value.
server=$(wine_run reg query "HKCU\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" | tr -d '\r')
grep -qiF "$dll" <<<"$server" || fail "per-user InprocServer32 is not the DLL: $server"
grep -q 'ThreadingModel.*Apartment' <<<"$server" || fail "per-user threading model: $server"
progid=$(wine_run reg query "HKCU\\Software\\Classes\\Picmeta.clsmain\\CLSID" | tr -d '\r')
grep -qF "$clsid" <<<"$progid" || fail "per-user ProgID does not name the class: $progid"
echo "ok: registered for the user"
wine_run regsvr32 /s /u /n /i:user "$dll" || fail "regsvr32 /u /n /i:user failed"
expect_keys HKCU absent
echo "ok: unregistered for the user"
