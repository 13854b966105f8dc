#!/usr/bin/env bash
# The picmeta program as operators and scripts use it.
set -euo pipefail
picmeta=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

"$picmeta" --help | grep -q read-exif || fail "--help lists the commands"
for c in read-exif write new-write delete copy unscramble scramble show demo; do
  "$picmeta" "$c" --help | grep -q "usage: picmeta $c" || fail "$c --help"
done
set +e
"$picmeta" no-such-command 2>/dev/null; [ $? -eq 2 ] || fail "unknown command exits 2"
"$picmeta" read-exif --no-such-option x 2>/dev/null; [ $? -eq 2 ] || fail "unknown option exits 2"
"$picmeta" read-exif --app-path "$work/missing" 2>/dev/null; [ $? -eq 2 ] || fail "missing folder exits 2"
"$picmeta" write --app-path 2>/dev/null; [ $? -eq 2 ] || fail "option without value exits 2"
set -e

"$picmeta" demo "$work/demo" > "$work/demo.txt"
grep -q 'Opername="张三"' "$work/demo.txt" || fail "demo prints the records"
[ "$(grep -c '<info ' "$work/demo.txt")" -eq 7 ] || fail "demo records seven pictures"
handover=$(ls "$work"/demo/app/exif_0815_*.xml)

# read-exif on the same case prints the path of a hand-over file it wrote.
out=$("$picmeta" read-exif --temp-path "$work/demo/pictures" --app-path "$work/demo/app" \
  --busitype 2 --orgid 3100000ABCDEF001 --operno 0816 --opername 李四)
[ -f "$out" ] || fail "read-exif prints the hand-over path"
set +e
"$picmeta" read-exif --app-path "$work/demo/app" --busitype 3 --operno 0817 2>/dev/null
[ $? -eq 1 ] || fail "read-exif stopped by a gate exits 1"
set -e

# unscramble to a file and to stdout; scrambling again gives the file back.
"$picmeta" unscramble "$handover" "$work/plain.xml"
"$picmeta" unscramble "$handover" > "$work/plain2.xml"
cmp -s "$work/plain.xml" "$work/plain2.xml" || fail "unscramble to stdout and to a file agree"
head -c 38 "$work/plain.xml" | grep -q 'encoding="GBK"' || fail "unscrambled text is the GBK document"
"$picmeta" scramble "$work/plain.xml" "$work/again.xml"
cmp -s "$work/again.xml" "$handover" || fail "scramble gives the hand-over file back byte for byte"

# IN equal to OUT is refused and leaves IN as it was; an OUT that is a link is
# replaced, never written through.
cp "$work/plain.xml" "$work/same.xml"
set +e
"$picmeta" scramble "$work/same.xml" "$work/same.xml" 2>/dev/null; [ $? -eq 2 ] || fail "scramble IN IN exits 2"
"$picmeta" unscramble "$work/same.xml" "$work/same.xml" 2>/dev/null; [ $? -eq 2 ] || fail "unscramble IN IN exits 2"
set -e
cmp -s "$work/same.xml" "$work/plain.xml" || fail "IN left as it was"
echo target > "$work/target"
ln -s "$work/target" "$work/link.xml"
"$picmeta" scramble "$work/plain.xml" "$work/link.xml"
[ "$(cat "$work/target")" = target ] || fail "scramble writes through a link"
[ -L "$work/link.xml" ] && fail "the link is replaced by the output"
cmp -s "$work/link.xml" "$handover" || fail "scramble through a link's name"

# write, new-write, delete and copy on the demo's case folder.
case_folder="$work/demo/app/top/case"
"$picmeta" write --app-path "$work/demo/app" --orgid 3100000ABCDEF001 --operno 0815
[ "$(grep -o '<info ' "$case_folder/exifinfo.xml" | wc -l)" -eq 3 ] || fail "write records three"
"$picmeta" delete --folder "$case_folder" --picture IMG_0001.JPG
[ "$(grep -o '<info ' "$case_folder/exifinfo.xml" | wc -l)" -eq 2 ] || fail "delete removes one"
"$picmeta" new-write --app-path "$work/demo/app" --file "$case_folder/IMG_0001.JPG" --operno 0815
[ "$(grep -o '<info ' "$case_folder/exifinfo.xml" | wc -l)" -eq 3 ] || fail "new-write adds one"

"$picmeta" show --json "$case_folder/IMG_0001.JPG" | grep -q '"Make": "Canon\\u0000"' \
  || fail "show --json gives the recorded values"
"$picmeta" show "$case_folder/IMG_0002.JPG" | grep -q 'SONY' || fail "show prints a table"
echo "cli test passed"
