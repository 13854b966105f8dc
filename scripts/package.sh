#!/usr/bin/env bash
# Makes the release bundles in dist/:
#   picmeta-<version>-windows.zip        x86/ and x64/ (DLL, type library,
#                                        manifest, import libraries, program,
#                                        headers), both MSIs, the documents,
#                                        SHA256SUMS of its content
#   picmeta_<version>_amd64.deb          the Linux library, program, headers,
#   picmeta-<version>-linux-x86_64.tar.gz  CMake package, picmeta.pc, documents
#                                        and man page, installed under /usr
#   SHA256SUMS                           of the bundles
#   scripts/package.sh [--sign PFX] [--windows-built] [--check]
# --sign PFX signs the Windows binaries and MSIs (see windows.sh).
# --windows-built packs the Windows products scripts/windows.sh has just made
# in dist/windows (as CI does) instead of building them again. --check then
# installs the Debian package with apt-get, builds a C host with pkg-config
# (no rpath) and runs it, and purges the package again (needs root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sign=() check=0 windows_built=0
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ $# -ge 2 ] || { echo "package.sh: --sign needs the PKCS#12 file" >&2; exit 2; }
            sign=(--sign "$2"); shift ;;
    --check) check=1 ;;
    --windows-built) windows_built=1 ;;
    *) echo "package.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
. scripts/packages.sh
bash scripts/setup.sh "${PICMETA_PACKAGING_PACKAGES[@]}" >/dev/null
version=$(sed -n 's/^project(picmeta VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
start=$SECONDS

# ---- Windows ----
if [ $windows_built = 1 ]; then
  [ ${#sign[@]} = 0 ] || { echo "package.sh: --sign needs the Windows products built here" >&2; exit 2; }
  for f in x86/picmeta.dll x64/picmeta.dll picmeta-"$version"-x86.msi picmeta-"$version"-x64.msi; do
    [ -f "dist/windows/$f" ] || { echo "package.sh: --windows-built, but dist/windows/$f is not there" >&2; exit 1; }
  done
else
  bash scripts/windows.sh --no-tests "${sign[@]}"
fi
stage=$root/dist/.stage-windows
rm -rf "$stage" && mkdir -p "$stage/docs"
cp -r dist/windows/x86 dist/windows/x64 "$stage/"
cp dist/windows/picmeta-"$version"-x86.msi dist/windows/picmeta-"$version"-x64.msi "$stage/"
cp README.md "$stage/"
cp docs/*.md "$stage/docs/"
(cd "$stage" && find . -type f ! -name SHA256SUMS | LC_ALL=C sort | sed 's|^\./||' |
   xargs sha256sum >SHA256SUMS)
zip_file=$root/dist/picmeta-$version-windows.zip
rm -f "$zip_file"
(cd "$stage" && zip -qrX "$zip_file" .)
rm -rf "$stage"

# ---- Linux (CPack) ----
cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
(cd build-package && cpack -G "DEB;TGZ" >/dev/null)
deb=$root/dist/picmeta_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "package.sh: CPack made no $deb" >&2; exit 1; }
tgz=$(ls "$root"/dist/picmeta-"$version"-linux-*.tar.gz)

(cd dist && sha256sum "$(basename "$zip_file")" "$(basename "$deb")" "$(basename "$tgz")" \
   windows/picmeta-"$version"-x86.msi windows/picmeta-"$version"-x64.msi >SHA256SUMS)
for f in "$zip_file" "$deb" "$tgz"; do
  printf '%-45s %8s KiB\n' "dist/$(basename "$f")" "$(( $(stat -c %s "$f") / 1024 ))"
done
echo "bundles made in $((SECONDS - start)) s"

[ $check = 1 ] || exit 0
# ---- The Debian package as a user installs it ----
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() { echo "package check FAILED: $*" >&2; $sudo apt-get purge -y -qq picmeta >/dev/null 2>&1 || true; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null || fail "apt-get install"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in /usr/lib/$multiarch/libpicmeta.so.1 /usr/bin/picmeta /usr/include/picmeta/picmeta.h \
         /usr/include/picmeta/clsmain.h /usr/lib/$multiarch/cmake/picmeta/picmetaConfig.cmake \
         /usr/lib/$multiarch/pkgconfig/picmeta.pc /usr/share/doc/picmeta/README.md \
         /usr/share/doc/picmeta/records.md /usr/share/man/man1/picmeta.1; do
  [ -e "$f" ] || fail "$f not installed"
done
cc tests/install/consumer.c -o "$work/host" $(pkg-config --cflags --libs picmeta) || fail "cc with pkg-config"
if readelf -d "$work/host" | grep -qE 'RPATH|RUNPATH'; then fail "the host needed an rpath"; fi
mkdir "$work/case"
printf '<?xml version="1.0" encoding="GBK"?><root><info Filename="a.jpg"/></root>' >"$work/case/exifinfo.xml"
"$work/host" "$work/case" >/dev/null || fail "the host did not run"
grep -q '<root/>' "$work/case/exifinfo.xml" || fail "the host's call did not reach the library"
[ "$(picmeta --version)" = "picmeta $version" ] || fail "picmeta --version"
$sudo apt-get purge -y -qq picmeta >/dev/null
echo "package check passed: installed under /usr, a C host built with pkg-config runs without an rpath"
