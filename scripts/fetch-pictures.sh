#!/usr/bin/env bash
# Fetches the real phone and camera pictures the tests read: eight JPEG files
# of the npm package exif 0.6.0 (MIT licence, kept beside them as
# LICENSE.md), packed with npm into BUILD/pictures and each checked by the
# SHA-256 of tests/pictures/SHA256SUMS. Nothing is fetched again once they are
# there and check.
#   scripts/fetch-pictures.sh BUILD
# Exits 0 with the pictures in place; 3, saying so, when no registry answers
# (the tests then skip, or fail where PICMETA_REQUIRE_PICTURES=1); 1 when what
# came is not what was expected.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ $# = 1 ] || { echo "usage: scripts/fetch-pictures.sh BUILD" >&2; exit 2; }
mkdir -p "$1"
dest=$(realpath "$1")/pictures
sums=$root/tests/pictures/SHA256SUMS
pictures=(down-mirrored.jpg lens_info.jpg right.jpg short-ascii-II.jpg short-ascii-MM.jpg
          test1.jpg test2.jpg test3.jpg)

checked() {  # whether every picture and the licence in $dest match their sums
  (cd "$dest" 2>/dev/null && grep -v ' exif-0.6.0.tgz$' "$sums" | sha256sum --quiet -c - >/dev/null 2>&1)
}
if checked; then exit 0; fi

. scripts/packages.sh
bash scripts/setup.sh "${PICMETA_PICTURE_PACKAGES[@]}" >/dev/null
command -v npm >/dev/null || bash scripts/setup.sh "${PICMETA_PICTURE_FALLBACK_PACKAGES[@]}" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && npm pack --silent --cache "$work/npm-cache" exif@0.6.0 >pack.log 2>&1); then
  echo "real pictures: the npm registry did not answer ($(npm config get registry 2>/dev/null)):"
  sed 's/^/  /' "$work/pack.log" | tail -5
  echo "real pictures: not fetched; their tests skip (or fail where PICMETA_REQUIRE_PICTURES=1)"
  exit 3
fi
(cd "$work" && grep ' exif-0.6.0.tgz$' "$sums" | sha256sum --quiet -c -) ||
  { echo "real pictures: exif-0.6.0.tgz is not the package expected" >&2; exit 1; }
tar -xzf "$work/exif-0.6.0.tgz" -C "$work" package/LICENSE.md "${pictures[@]/#/package/test/}"
rm -rf "$dest.new" && mkdir -p "$dest.new"
cp "$work/package/LICENSE.md" "${pictures[@]/#/$work/package/test/}" "$dest.new/"
(cd "$dest.new" && grep -v ' exif-0.6.0.tgz$' "$sums" | sha256sum --quiet -c -) ||
  { echo "real pictures: a file of exif 0.6.0 is not the one expected" >&2; exit 1; }
rm -rf "$dest" && mv "$dest.new" "$dest"
echo "real pictures: ${#pictures[@]} files of exif 0.6.0 in $dest"
