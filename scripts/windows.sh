#!/usr/bin/env bash
# Builds the Windows COM server (picmeta.dll), 32- and 64-bit, with MinGW-w64
# on Debian 12, packs it (import libraries, manifest, MSI packages) and runs
# the Windows test suite under Wine.
#   scripts/windows.sh                  install, build both, test both
#   scripts/windows.sh --no-tests       install and build only
#   scripts/windows.sh --sign PFX       also sign DLLs, programs and MSIs
#                                       (password in PICMETA_SIGN_PASSWORD, an
#                                       optional timestamp server in
#                                       PICMETA_SIGN_TIMESTAMP)
# Where this machine cannot execute 32-bit programs (or PICMETA_NO_32BIT=1),
# the x86 DLL is built and checked as a file and its run under Wine skipped.
# Results: dist/windows/x86/, dist/windows/x64/ and the MSIs in dist/windows/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run_tests=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tests) run_tests=0 ;;
    --sign)
      [ $# -ge 2 ] || { echo "windows.sh: --sign needs the PKCS#12 file" >&2; exit 2; }
      PICMETA_SIGN_PFX=$(realpath "$2")
      export PICMETA_SIGN_PFX
      shift ;;
    *) echo "windows.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# ---- Packages ------------------------------------------------------------------
# Wine's 32-bit half needs the i386 architecture; setup.sh installs what is missing.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
fi
. scripts/packages.sh
bash scripts/setup.sh "${PICMETA_WINDOWS_PACKAGES[@]}" >/dev/null
bash scripts/setup.sh --with-recommends "${PICMETA_WINE_PACKAGES[@]}" >/dev/null

# ---- libxml2 from Debian's source package of the version the Linux build uses --
xml_version=$(dpkg-query -W -f='${Version}' libxml2-dev)
cache=$root/.cache/windows
src_cache=$cache/libxml2-src-$xml_version
if [ ! -f "$src_cache/ok" ]; then
  echo "fetching libxml2 $xml_version sources"
  rm -rf "$src_cache" && mkdir -p "$src_cache/apt/lists/partial" "$src_cache/apt/cache/archives/partial" "$src_cache/get"
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  key=/usr/share/keyrings/debian-archive-keyring.gpg
  {
    echo "deb-src [signed-by=$key] http://deb.debian.org/debian $codename main"
    echo "deb-src [signed-by=$key] http://deb.debian.org/debian $codename-updates main"
    echo "deb-src [signed-by=$key] http://deb.debian.org/debian-security $codename-security main"
  } >"$src_cache/apt/sources.list"
  # A private source list and state: the machine's apt configuration is left as it is.
  apt_opts=(-o "Dir::Etc::SourceList=$src_cache/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$src_cache/apt/lists" -o "Dir::Cache=$src_cache/apt/cache"
            -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" update -qq
  # apt checks each file against the signed Sources index; dpkg-source checks
  # them again against the .dsc while unpacking.
  (cd "$src_cache/get" && apt-get "${apt_opts[@]}" source --download-only -qq "libxml2=$xml_version")
  # (The maintainer's signature of the .dsc is not checked: that keyring is not
  # on the machine; the Sources index that lists the .dsc's checksum is signed.)
  (cd "$src_cache/get" && dpkg-source -x ./*.dsc "$src_cache/libxml2" >"$src_cache/unpack.log" 2>&1) ||
    { cat "$src_cache/unpack.log"; exit 1; }
  (cd "$src_cache/get" && sha256sum ./*.dsc ./*.tar.* >"$src_cache/SHA256SUMS")
  touch "$src_cache/ok"
fi
(cd "$src_cache/get" && sha256sum --quiet -c "$src_cache/SHA256SUMS")

# Bumped whenever the libxml2 build below changes, so that the cache is rebuilt.
recipe=r2
build_libxml2() {  # arch
  local arch=$1 prefix=$cache/libxml2-$xml_version-$1-$recipe
  [ -f "$prefix/ok" ] && return 0
  echo "building libxml2 $xml_version for $arch"
  rm -rf "$prefix" "$cache/build-libxml2-$arch"
  # Only what the library uses: the parser, the tree, XPath, output. Input is
  # decoded by the library itself, so no iconv.
  cmake -S "$src_cache/libxml2" -B "$cache/build-libxml2-$arch" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_C_FLAGS=-DLIBXML_STATIC \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF \
    -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_TESTS=OFF \
    -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF -DLIBXML2_WITH_MODULES=OFF \
    -DLIBXML2_WITH_CATALOG=OFF -DLIBXML2_WITH_DOCB=OFF -DLIBXML2_WITH_HTML=OFF \
    -DLIBXML2_WITH_SCHEMAS=OFF -DLIBXML2_WITH_SCHEMATRON=OFF -DLIBXML2_WITH_XINCLUDE=OFF \
    -DLIBXML2_WITH_LEGACY=OFF -DLIBXML2_WITH_DEBUG=OFF -DLIBXML2_WITH_ISO8859X=OFF >/dev/null
  cmake --build "$cache/build-libxml2-$arch" -j"$(nproc)" >/dev/null
  cmake --install "$cache/build-libxml2-$arch" >/dev/null
  rm -rf "$cache/build-libxml2-$arch"
  touch "$prefix/ok"
}

# ---- The DLLs, the program and the tests ------------------------------------------
build_picmeta() {  # arch dist-name tests(ON|OFF)
  local arch=$1 dist=$root/dist/windows/$2 build=$root/build-windows/$2 tests=$3
  local xml=$cache/libxml2-$xml_version-$arch-$recipe
  # The presets windows-x64 and windows-x86 (CMakePresets.json) take these.
  [ "$tests" = OFF ] || bash "$root/scripts/fetch-pictures.sh" "$build" || [ $? = 3 ]
  PICMETA_LIBXML2=$xml PICMETA_WINE_TEMPLATE=$cache/wine-template PICMETA_WINDOWS_TESTS=$tests \
    cmake --preset "windows-$2" >/dev/null
  # (Wine's own complaints while test lists are read are not the build's.)
  cmake --build --preset "windows-$2" -j"$(nproc)" 2>&1 | { grep -vE '^[0-9a-f]{4}:(err|fixme):' || true; }
  rm -rf "$dist" && mkdir -p "$dist/include"
  cp "$build/picmeta.dll" "$build/libpicmeta.dll.a" "$build/picmeta.lib" "$build/picmeta.tlb" \
    "$build/Picmeta.manifest" "$build/picmeta.exe" "$dist/"
  cp -r "$root/include/picmeta" "$dist/include/"
  cp "$build/picmeta_idl.h" "$dist/include/picmeta/picmeta_com.h"
  [ -z "${PICMETA_SIGN_PFX:-}" ] || bash "$root/scripts/sign.sh" "$dist/picmeta.dll" "$dist/picmeta.exe"
  # The MSI packs the files of dist/, signed where they were.
  local msi=$root/dist/windows/picmeta-$version-$2.msi
  bash "$root/packaging/windows/make-msi.sh" "$2" "$version" "$dist" "$msi"
  [ -z "${PICMETA_SIGN_PFX:-}" ] || bash "$root/scripts/sign.sh" "$msi"
}
version=$(sed -n 's/^project(picmeta VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
rm -f "$root"/dist/windows/picmeta-*.msi

for arch in i686 x86_64; do build_libxml2 "$arch"; done

# ---- Can this machine run 32-bit programs? Found out by trying: some kernels
# and hypervisors have no 32-bit mode at all. PICMETA_NO_32BIT=1 answers "no".
run32=1
if [ "${PICMETA_NO_32BIT:-0}" = 1 ]; then
  run32=0 why32="PICMETA_NO_32BIT=1"
elif ! why32=$(/lib/ld-linux.so.2 --version 2>&1 >/dev/null); then
  run32=0 why32="this machine cannot execute 32-bit programs (${why32##*: })"
fi

# ---- Wine's loaders, found as the build finds them (cmake/windows/wine.cmake):
# Debian keeps the 64-bit one out of the PATH, in Wine's library folder.
find_loader() {  # NAME
  local dir
  command -v "$1" && return 0
  for dir in /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin; do
    [ -x "$dir/$1" ] && { echo "$dir/$1"; return 0; }
  done
  echo "windows.sh: no Wine loader $1 found" >&2
  return 1
}
wine64=$(find_loader wine64)
wine32=$(find_loader wine)

# ---- Wine, for the tests (the test lists are read from the programs at build time)
# One template prefix, booted once and copied by every test that needs its own.
export LC_ALL=C.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$cache/wine-template
if [ $run_tests = 1 ] && [ ! -f "$WINEPREFIX/ok" ]; then
  rm -rf "$WINEPREFIX"
  # (the 64-bit loader boots the prefix on every machine; where 32-bit programs
  # cannot run, its 32-bit half stays unbooted)
  "$wine64" wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/ok"
fi
if [ $run_tests = 1 ]; then
  # A server that exits when idle, just as a client starts, makes that start
  # fail: one that stays is started (in place of one already running).
  wineserver -p 2>/dev/null || { wineserver -k 2>/dev/null || true; wineserver -w; wineserver -p; }
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  # The prefix's own services start with the first program of each bitness and
  # live as long as the server: started here, they hold no test's output open.
  [ $run32 = 0 ] || "$wine32" cmd /c exit </dev/null >/dev/null 2>&1
  "$wine64" cmd /c exit </dev/null >/dev/null 2>&1
fi
on_off() { [ "$1" = 1 ] && echo ON || echo OFF; }
build_picmeta i686 x86 "$(on_off $((run_tests & run32)))"
build_picmeta x86_64 x64 "$(on_off $run_tests)"
[ $run_tests = 1 ] || exit 0

# ---- Tests under Wine -------------------------------------------------------------
status=0
runnable=(x64)
if [ $run32 = 1 ]; then
  runnable=(x86 x64)
else
  echo "== Windows x86 run under Wine skipped: $why32; the DLL is checked as a file"
  bash "$root/tests/windows/pe_check.sh" i686-w64-mingw32-objdump "$root/dist/windows/x86/picmeta.dll" \
    "$root/bindings/win/picmeta.def" "$root/dist/windows/x86/picmeta.tlb" || status=1
fi
for dist in "${runnable[@]}"; do
  echo "== Windows $dist tests under Wine"
  ctest --preset "windows-$dist" -j"$(nproc)" || status=1
done
exit $status
