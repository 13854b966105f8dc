#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C++ consumer through
# find_package and a C consumer through pkg-config, then runs both.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir" -B "$work/cpp" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cpp" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libpicmeta.so' | head -n1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$source_dir/consumer.c" -o "$work/consumer_c" $(pkg-config --cflags --libs picmeta)
mkdir -p "$work/case"
printf '<?xml version="1.0" encoding="GBK"?><root><info Filename="a.jpg"/><info Filename="b.jpg"/></root>' \
  > "$work/case/exifinfo.xml"
export LD_LIBRARY_PATH="$libdir"
"$work/cpp/consumer_cpp" "$work/case"
"$work/consumer_c" "$work/case"
# Both records were removed through the installed library.
grep -q '<root/>' "$work/case/exifinfo.xml"
if grep -q 'jpg' "$work/case/exifinfo.xml"; then exit 1; fi
test -x "$work/prefix/bin/picmeta"
echo "install test passed"
