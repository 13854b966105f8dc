#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C++ consumer through
# find_package and a C consumer through pkg-config, then runs both; then a C
# consumer again through the picmeta.pc of a Debian-style multiarch library
# folder. (The Debian package itself is installed and used by
# scripts/package.sh --check.)
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
project_dir=$(cd "$source_dir/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_prefix() {  # PREFIX NAME
  local prefix=$1 name=$2
  local pc
  pc=$(find "$prefix" -name picmeta.pc | head -n1)
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$pc")
  local libdir
  libdir=$(pkg-config --variable=libdir picmeta)
  [ -e "$libdir/libpicmeta.so.1" ] || { echo "$name: pkg-config libdir $libdir holds no libpicmeta.so.1"; exit 1; }
  [ -e "$(pkg-config --variable=includedir picmeta)/picmeta/picmeta.h" ] || { echo "$name: includedir"; exit 1; }
  case "$(pkg-config --cflags picmeta)" in *libxml2*) echo "$name: cflags name libxml2"; exit 1;; esac
  # Built the way the README says: the rpath lets the program find the library.
  cc "$source_dir/consumer.c" -o "$work/consumer_c_$name" $(pkg-config --cflags --libs picmeta) \
    -Wl,-rpath,"$libdir"
  mkdir -p "$work/case_$name"
  printf '<?xml version="1.0" encoding="GBK"?><root><info Filename="a.jpg"/></root>' \
    > "$work/case_$name/exifinfo.xml"
  "$work/consumer_c_$name" "$work/case_$name"
  grep -q '<root/>' "$work/case_$name/exifinfo.xml" || { echo "$name: C consumer"; exit 1; }
}

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cpp" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libpicmeta.so' | head -n1)")
mkdir -p "$work/case"
printf '<?xml version="1.0" encoding="GBK"?><root><info Filename="a.jpg"/><info Filename="b.jpg"/></root>' \
  > "$work/case/exifinfo.xml"
LD_LIBRARY_PATH="$libdir" "$work/cpp/consumer_cpp" "$work/case"
grep -q 'a.jpg' "$work/case/exifinfo.xml"
if grep -q 'b.jpg' "$work/case/exifinfo.xml"; then exit 1; fi
test -x "$work/prefix/bin/picmeta"
check_prefix "$work/prefix" plain

# A Debian-style layout, a multiarch library folder: the picmeta.pc that a
# build configured so makes (configured only), with the library built above.
cmake -S "$project_dir" -B "$work/multiarch-build" -DCMAKE_INSTALL_LIBDIR=lib/x86_64-linux-gnu \
  -DPICMETA_TESTS=OFF -DPICMETA_TOOLS=OFF >/dev/null
multiarch=$work/usr/lib/x86_64-linux-gnu
mkdir -p "$multiarch/pkgconfig" "$work/usr/include"
cp -P "$libdir"/libpicmeta.so* "$multiarch/"
cp -R "$work/prefix/include/picmeta" "$work/usr/include/"
cp "$work/multiarch-build/picmeta.pc" "$multiarch/pkgconfig/"
check_prefix "$work/usr" multiarch
echo "install test passed"
