#!/usr/bin/env bash
# Both bitnesses of the server on one machine, as an IT department may
# register them: letting one go (regsvr32 /u, or uninstalling its MSI) leaves
# the other creatable by ProgID; letting both go leaves no key. The ProgID,
# type library and interface keys are shared by the two registry views.
#   bitness_test.sh X64_BUILD X86_BUILD TEMPLATE_PREFIX VERSION LOADER64 LOADER32
set -euo pipefail
x64=$1 x86=$2 template=$3 version=$4 loader=$5 loader32=$6
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
if [ "${PICMETA_NO_32BIT:-0}" = 1 ] || ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "skipped: this machine cannot run the 32-bit server"
  exit 77
fi
[ -f "$x86/picmeta.dll" ] || { echo "skipped: no 32-bit build beside this one"; exit 77; }
. "$here/wine_prefix.sh" bitness
wine32() { "$loader32" "$@" </dev/null; }
"$loader32" cmd /c exit </dev/null >/dev/null 2>&1 || true

printf 'Set o = CreateObject("Picmeta.clsmain")\r\no.GV_FilePath = "x"\r\nWScript.Echo "created " & o.GV_FilePath\r\n' \
  >"$work/create.vbs"
created() {  # 32|64: whether a host of that bitness creates the object by ProgID
  local run=wine_run cscript=cscript
  [ "$1" = 32 ] && run=wine32 cscript='C:\windows\syswow64\cscript.exe'
  $run "$cscript" //nologo "$(win_path "$work/create.vbs")" 2>&1 | tr -d '\r' | grep -qx 'created x'
}
progid='HKLM\Software\Classes\Picmeta.clsmain'
has() { wine_run reg query "$1" >/dev/null 2>&1; }
expect() {  # WHAT 32-created 64-created progid-present (yes|no each)
  local what=$1
  if created 32; then [ "$2" = yes ] || fail "$what: a 32-bit host still creates the object"
  else [ "$2" = no ] || fail "$what: a 32-bit host cannot create the object"; fi
  if created 64; then [ "$3" = yes ] || fail "$what: a 64-bit host still creates the object"
  else [ "$3" = no ] || fail "$what: a 64-bit host cannot create the object"; fi
  if has "$progid"; then [ "$4" = yes ] || fail "$what: the ProgID is left behind"
  else [ "$4" = no ] || fail "$what: the ProgID is gone"; fi
  echo "ok: $what"
}
dll64=$(win_path "$x64/picmeta.dll") dll32=$(win_path "$x86/picmeta.dll")
regsvr64() { wine_run regsvr32 /s "$@"; }
regsvr32_32() { wine32 'C:\windows\syswow64\regsvr32.exe' /s "$@"; }

# ---- regsvr32 ------------------------------------------------------------------------
regsvr64 "$dll64" && regsvr32_32 "$dll32" || fail "regsvr32 failed"
expect "both registered" yes yes yes
regsvr64 /u "$dll64" || fail "regsvr32 /u of x64 failed"
expect "x64 unregistered" yes no yes
regsvr64 "$dll64" && regsvr32_32 /u "$dll32" || fail "regsvr32 of x64, /u of x86 failed"
expect "x86 unregistered" no yes yes
regsvr64 /u "$dll64" || fail "regsvr32 /u failed"
expect "both unregistered" no no no
for key in 'HKLM\Software\Classes\TypeLib\{5FE5D09B-410B-4350-9FE5-D275E08E7BC0}' \
           'HKLM\Software\Classes\Interface\{8E4C5A2D-6B1F-4C7E-9A3D-2F5B8C1E4D70}'; do
  ! has "$key" || fail "$key left behind"
done

# ---- The two MSI packages ------------------------------------------------------------
for arch in x64 x86; do
  build=$x64
  [ $arch = x86 ] && build=$x86
  mkdir -p "$work/files-$arch"
  cp "$build/picmeta.dll" "$build/picmeta.tlb" "$build/Picmeta.manifest" "$work/files-$arch/"
  bash "$project/packaging/windows/make-msi.sh" "$arch" "$version" "$work/files-$arch" "$work/$arch.msi"
done
msi() { wine_run msiexec "$1" "$(win_path "$2")" /qn /l*v "$(win_path "$work/msiexec.log")" ||
          { tr -d '\r' <"$work/msiexec.log" | tail -40 >&2; fail "msiexec $1 $2 failed"; }; }
# The shared keys are one component of both packages, kept while either is
# installed. (Wine's msi writes a 32-bit package's keys to the 32-bit view
# (Wow6432Node) even where Windows shares them, and no host there reads that
# copy: the x86 package goes first, so that the keys left are the x64
# package's, which its own uninstall then removes.)
msi /i "$work/x64.msi"
msi /i "$work/x86.msi"
expect "both packages installed" yes yes yes
msi /x "$work/x86.msi"
expect "the x86 package uninstalled" no yes yes
msi /i "$work/x86.msi"
msi /x "$work/x64.msi"
expect "the x64 package uninstalled" yes no yes
msi /x "$work/x86.msi"
msi /i "$work/x64.msi"
msi /x "$work/x64.msi"
expect "both packages uninstalled" no no no
