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
# A missing input is wrong usage for every command.
"$picmeta" show "$work/none.jpg" > "$work/out" 2>&1; [ $? -eq 2 ] || fail "show of a missing file exits 2"
grep -q "^error: picture '$work/none.jpg' does not exist" "$work/out" || fail "show says what is missing"
grep -q Filename "$work/out" && fail "show of a missing file prints no table"
"$picmeta" show "$work" > "$work/out" 2>&1; [ $? -eq 2 ] || fail "show of a folder exits 2"
grep -q "is a folder" "$work/out" || fail "show says a folder is no picture"
"$picmeta" unscramble "$work/none.xml" 2>/dev/null; [ $? -eq 2 ] || fail "unscramble of a missing file exits 2"
"$picmeta" scramble "$work/none.xml" "$work/o.xml" 2>/dev/null; [ $? -eq 2 ] || fail "scramble of a missing file exits 2"
"$picmeta" new-write --app-path "$work" --file "$work/none.jpg" 2>/dev/null; [ $? -eq 2 ] || fail "new-write of a missing picture exits 2"
set -e
"$picmeta" --version | grep -qE '^picmeta [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version"

# demo builds its case only in a new or empty folder.
mkdir "$work/busy" && echo keep > "$work/busy/busiinfoprocess.xml"
set +e
"$picmeta" demo "$work/busy" > /dev/null 2> "$work/err"; [ $? -eq 2 ] || fail "demo into a folder that holds files exits 2"
set -e
grep -q "is not an empty folder" "$work/err" || fail "demo says why it refuses"
[ "$(cat "$work/busy/busiinfoprocess.xml")" = keep ] || fail "demo left the folder's files alone"
mkdir "$work/empty" && "$picmeta" demo "$work/empty" > /dev/null || fail "demo into an empty folder"
"$picmeta" --help-all | grep -q "usage: picmeta scramble" || fail "--help-all describes every command"

"$picmeta" demo "$work/demo" > "$work/demo.txt"
grep -q 'Opername="张三"' "$work/demo.txt" || fail "demo prints the records"
[ "$(grep -c '<info ' "$work/demo.txt")" -eq 7 ] || fail "demo records seven pictures"
handover=$(ls "$work"/demo/app/exif_0815_*.xml)

# read-exif on the same case prints the path of the hand-over file it wrote,
# and one warning line per picture without values.
out=$("$picmeta" read-exif --temp-path "$work/demo/pictures" --app-path "$work/demo/app" \
  --busitype 2 --orgid 3100000ABCDEF001 --operno 0816 --opername 李四 2> "$work/err")
[ -f "$out" ] || fail "read-exif prints the hand-over path"
case "$out" in "$work"/demo/app/exif_0816_*.xml) ;; *) fail "read-exif prints its own hand-over: $out";; esac
grep -qx "warning: picture scan.jpg: no Exif block" "$work/err" || fail "read-exif warns of a picture without Exif"
grep -qx "warning: picture missing.jpg: not on disk" "$work/err" || fail "read-exif warns of a missing picture"
"$picmeta" read-exif --quiet --temp-path "$work/demo/pictures" --app-path "$work/demo/app" \
  --busitype 2 --operno 0816 > /dev/null 2> "$work/err"
[ -s "$work/err" ] && fail "--quiet prints no warnings"
"$picmeta" read-exif --verbose --temp-path "$work/demo/pictures" --app-path "$work/demo/app" \
  --busitype 2 --operno 0816 2>&1 >/dev/null | grep -q "^info: hand-over file written with 7 records" \
  || fail "--verbose tells the hand-over"
set +e
"$picmeta" read-exif --temp-path "$work/demo/pictures" --app-path "$work/demo/app" --busitype 3 \
  --operno 0817 2> "$work/err"
[ $? -eq 1 ] || fail "read-exif stopped by a gate exits 1"
grep -qx "warning: business type '3' is not 2" "$work/err" || fail "the gate is told"
"$picmeta" read-exif --temp-path "$work/no-pictures" --app-path "$work/demo/app" --busitype 2 2> "$work/err"
[ $? -eq 2 ] || fail "read-exif with a missing picture tree exits 2"
grep -q "picture tree folder" "$work/err" || fail "read-exif says the picture tree is missing"
"$picmeta" copy --folder "$work/demo/app" --temp-path "$work/demo/pictures" --operno 1 > /dev/null 2>&1
[ $? -eq 1 ] || fail "copy without working files exits 1"
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
# An existing OUT is replaced only with --force.
echo old > "$work/out.xml"
set +e
"$picmeta" scramble "$work/plain.xml" "$work/out.xml" 2> "$work/err"; [ $? -eq 2 ] || fail "scramble over OUT exits 2"
"$picmeta" unscramble "$handover" "$work/out.xml" 2>/dev/null; [ $? -eq 2 ] || fail "unscramble over OUT exits 2"
set -e
grep -q -- "--force replaces it" "$work/err" || fail "scramble says how to replace OUT"
[ "$(cat "$work/out.xml")" = old ] || fail "a refused OUT is left as it was"
"$picmeta" scramble --force "$work/plain.xml" "$work/out.xml"
cmp -s "$work/out.xml" "$handover" || fail "scramble --force replaces OUT"
echo target > "$work/target"
ln -s "$work/target" "$work/link.xml"
"$picmeta" scramble --force "$work/plain.xml" "$work/link.xml"
[ "$(cat "$work/target")" = target ] || fail "scramble writes through a link"
[ -L "$work/link.xml" ] && fail "the link is replaced by the output"
cmp -s "$work/link.xml" "$handover" || fail "scramble through a link's name"

# write, new-write, delete and copy on the demo's case folder.
case_folder="$work/demo/app/top/case"
"$picmeta" write --app-path "$work/demo/app" --orgid 3100000ABCDEF001 --operno 0815
[ "$(grep -o '<info ' "$case_folder/exifinfo.xml" | wc -l)" -eq 3 ] || fail "write records three"
set +e
"$picmeta" delete --folder "$work" --picture IMG_0001.JPG 2>/dev/null; [ $? -eq 1 ] || fail "delete without a working file exits 1"
set -e
"$picmeta" delete --folder "$case_folder" --picture IMG_0001.JPG
[ "$(grep -o '<info ' "$case_folder/exifinfo.xml" | wc -l)" -eq 2 ] || fail "delete removes one"
"$picmeta" new-write --app-path "$work/demo/app" --file "$case_folder/IMG_0001.JPG" --operno 0815
[ "$(grep -o '<info ' "$case_folder/exifinfo.xml" | wc -l)" -eq 3 ] || fail "new-write adds one"

"$picmeta" show --json "$case_folder/IMG_0001.JPG" | grep -q '"Make": "Canon"' \
  || fail "show --json gives the values as stored (no NUL)"
"$picmeta" show "$case_folder/IMG_0002.JPG" | grep -q 'SONY' || fail "show prints a table"
# Every picture that is there is shown, each missing one gets its error line.
set +e
"$picmeta" show "$case_folder/IMG_0002.JPG" "$work/none.jpg" "$case_folder/IMG_0003.JPG" > "$work/out" 2> "$work/err"
[ $? -eq 2 ] || fail "show with a missing picture exits 2"
"$picmeta" show --json "$case_folder/IMG_0002.JPG" "$work/none.jpg" > "$work/out.json" 2>/dev/null
set -e
[ "$(grep -c '^  Filename' "$work/out")" -eq 2 ] || fail "show prints the pictures around a missing one"
[ "$(grep -c '^error:' "$work/err")" -eq 1 ] || fail "show prints one error line per missing picture"
[ "$(grep -c '"Filename"' "$work/out.json")" -eq 1 ] || fail "show --json lists the pictures that are there"

# copy prints each collected folder and the hand-over file it wrote.
# Counts and paths as people read them: "1 record", native separators.
"$picmeta" new-write --verbose --app-path "$work/demo/app" \
  --file "$work/demo/pictures/车险/定损/现场照片/front.jpg" --operno 0815 2> "$work/err"
grep -qx 'info: working file saved with 1 record' "$work/err" || fail "one record is 1 record: $(cat "$work/err")"
"$picmeta" copy --verbose --folder "$work/demo/app" --temp-path "$work/demo/pictures" --operno 0900 \
  > "$work/copy.txt" 2> "$work/err"
grep -qx 'info: hand-over file written with 1 record' "$work/err" || fail "copy tells the hand-over: $(cat "$work/err")"
grep -q '\\' "$work/copy.txt" "$work/err" && fail "paths are written with \\ on this system: $(cat "$work/copy.txt" "$work/err")"
grep -q '^collected /车险/定损/现场照片$' "$work/copy.txt" || fail "copy prints the collected folders"
copied=$(tail -n1 "$work/copy.txt")
case "$copied" in "$work"/demo/app/exif_0900_*.xml) ;; *) fail "copy prints its hand-over: $copied";; esac
"$picmeta" unscramble "$copied" | grep -q 'Filename="front.jpg"' || fail "the hand-over holds the record"
# The four working-file commands as docs/workspace.md shows them: a case whose
# pictures lie below its workspace folder, so copy collects what write,
# new-write and delete left.
app="$work/case7/app"
mkdir -p "$app/top/case"
cp "$work/demo/app/top/kelexplorersource.xml" "$app/top/"
cp "$work/demo/app/top/case/IMG_0001.JPG" "$work/demo/app/top/case/IMG_0002.JPG" \
  "$work/demo/app/top/case/IMG_0003.JPG" "$app/top/case/"
printf '<documentinfo><filename relativepath="top\\case"/></documentinfo>' > "$app/documentfilesource.xml"
printf '<kelexplorerinfo><file name="IMG_0001.JPG" processflag="1"/><file name="IMG_0002.JPG" processflag="1"/></kelexplorerinfo>' \
  > "$app/top/case/kelexplorersource.xml"
printf '<busiinfoprocess><busiinforecord foldername="top" classcode="11020000"><subcalsscodeinforecord foldername="case"><documentinfo><relationship><resourcemainindex resourcemainindex="R1"/></relationship></documentinfo></subcalsscodeinforecord></busiinforecord></busiinfoprocess>' \
  > "$app/busiinfoprocess.xml"
names() { grep -o 'Filename="[^"]*"' "$1" | tr '\n' ' '; }
"$picmeta" write --app-path "$app" --operno 0815
[ "$(names "$app/top/case/exifinfo.xml")" = 'Filename="IMG_0001.JPG" Filename="IMG_0002.JPG" ' ] || fail "docs example: write"
"$picmeta" new-write --app-path "$app" --file "$app/top/case/IMG_0003.JPG" --operno 0815
"$picmeta" delete --folder "$app/top/case" --picture IMG_0001.JPG
[ "$(names "$app/top/case/exifinfo.xml")" = 'Filename="IMG_0002.JPG" Filename="IMG_0003.JPG" ' ] || fail "docs example: new-write, delete"
"$picmeta" copy --folder "$app" --temp-path "$app" --operno 0815 > "$work/copy7.txt"
grep -qx 'collected /top/case' "$work/copy7.txt" || fail "docs example: copy collects /top/case"
[ ! -e "$app/top/case/exifinfo.xml" ] || fail "docs example: the working file is gone"
"$picmeta" unscramble "$(tail -n1 "$work/copy7.txt")" "$work/copy7.xml"
[ "$(names "$work/copy7.xml")" = 'Filename="IMG_0002.JPG" Filename="IMG_0003.JPG" ' ] || fail "docs example: the hand-over"
echo "cli test passed"
