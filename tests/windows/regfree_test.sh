#!/usr/bin/env bash
# Registration-free COM under Wine: in a fresh prefix where nothing is
# registered, a host whose application manifest depends on the assembly
# "Picmeta" creates the object from the picmeta.dll and Picmeta.manifest
# beside it; without its manifest the same host gets REGDB_E_CLASSNOTREG.
#   regfree_test.sh BUILD_DIR WINE_LOADER TEMPLATE_PREFIX
set -euo pipefail
build=$1 loader=$2 template=$3
. "$(dirname "$0")/wine_prefix.sh" regfree

arch=$(sed -n 's/.*name="Picmeta" version="\([0-9.]*\)" processorArchitecture="\([a-z0-9]*\)".*/\1 \2/p' \
       "$build/Picmeta.manifest")
read -r version platform <<<"$arch"
[ -n "$platform" ] || fail "Picmeta.manifest names no version and architecture"

app=$work/app
mkdir -p "$app"
cp "$build/picmeta.dll" "$build/Picmeta.manifest" "$build/tests/regfree_host.exe" "$app/"
cat >"$app/regfree_host.exe.manifest" <<MANIFEST
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Picmeta.Tests.Host" version="1.0.0.0" processorArchitecture="$platform"/>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Picmeta" version="$version" processorArchitecture="$platform"/>
    </dependentAssembly>
  </dependency>
</assembly>
MANIFEST

clsid='{BDE3DA38-7E73-42F7-B70B-FA18A40C57DC}'
for key in "HKLM\\Software\\Classes\\CLSID\\$clsid" "HKLM\\Software\\Classes\\Picmeta.clsmain" \
           "HKCU\\Software\\Classes\\CLSID\\$clsid" "HKCU\\Software\\Classes\\Picmeta.clsmain"; do
  ! wine_run reg query "$key" >/dev/null 2>&1 || fail "$key is registered: the test needs a clean prefix"
done

out=$(wine_run "$app/regfree_host.exe" | tr -d '\r') || fail "with its manifest the host did not create the object: $out"
grep -qx 'works 2' <<<"$out" || fail "with its manifest: $out"
echo "ok: created by ProgID and by CLSID with no registry key"

rm "$app/regfree_host.exe.manifest"
out=$(wine_run "$app/regfree_host.exe" | tr -d '\r') && fail "without its manifest the host created the object: $out"
grep -qx 'create-by-clsid 0x80040154' <<<"$out" || fail "without its manifest, expected REGDB_E_CLASSNOTREG: $out"
echo "ok: without the manifest REGDB_E_CLASSNOTREG"
