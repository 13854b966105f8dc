#!/usr/bin/env bash
# The trace for support staff: every event is also a line of the debugger
# output, "Picmeta: <severity> <code> <method>: <message> [<path>]", which
# Wine prints under WINEDEBUG=warn+seh. From the program, and from a
# VBScript host that creates the object by its ProgID and installs nothing.
# (Wine's cscript cannot sink events: WScript.ConnectObject and a prefixed
# WScript.CreateObject answer 445, so script sinks are documented, not run.)
#   trace_test.sh BUILD_DIR WINE_LOADER TEMPLATE_PREFIX
set -euo pipefail
build=$1 loader=$2 template=$3
. "$(dirname "$0")/wine_prefix.sh" trace

traced() {  # LOG: the trace lines a run printed, as they were sent
  tr -d '\r' <"$1" | sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugString[AW] "\(Picmeta: .*\)\\n"$/\1/p'
}
expect() {  # LOG PATTERN
  traced "$1" | grep -qE "$2" || { traced "$1" >&2; fail "no trace line like: $2"; }
}

WINEDEBUG=warn+seh wine_run "$build/picmeta.exe" demo "$(win_path "$work/demo")" >/dev/null 2>"$work/demo.log" ||
  fail "picmeta demo failed"
expect "$work/demo.log" '^Picmeta: warning 204 ReadEXIF: picture scan\.jpg: no Exif block \[Z:\\.*\\scan\.jpg\]$'
expect "$work/demo.log" '^Picmeta: info 100 ReadEXIF: hand-over file written with 7 records \[Z:\\.*\\exif_.*\.xml\]$'
expect "$work/demo.log" '^Picmeta: warning 205 ReadEXIF: .*R9.* \[\]$'
echo "ok: the program's calls are traced"

wine_run regsvr32 /s "$(win_path "$build/picmeta.dll")" || fail "regsvr32 failed"
r=$(win_path "$work/demo")
printf '%s\r\n' 'Set o = CreateObject("Picmeta.clsmain")' \
  "o.ReadEXIF \"$r\\pictures\", \"$r\\app\", \"2\", \"\", \"3100000ABCDEF001\", \"\", \"0815\", \"\", \"\", \"\", \"\", \"\"" \
  "o.NewWriteDatatoXML \"$r\\app\", \"$r\\pictures\\missing.jpg\", \"3100000ABCDEF001\", \"\", \"0815\", \"\", \"\"" \
  >"$work/host.vbs"
WINEDEBUG=warn+seh wine_run cscript //nologo "$(win_path "$work/host.vbs")" >/dev/null 2>"$work/host.log" || true
expect "$work/host.log" '^Picmeta: warning 204 ReadEXIF: picture scan\.jpg: no Exif block \['
expect "$work/host.log" '^Picmeta: info 100 ReadEXIF: hand-over file written with 7 records \['
expect "$work/host.log" '^Picmeta: warning 203 NewWriteDatatoXML: picture missing\.jpg: .*\['
wine_run regsvr32 /s /u "$(win_path "$build/picmeta.dll")" || true
echo "ok: a script host's calls are traced"
