#!/usr/bin/env bash
# Compares two builds of the picmeta program by the instructions each method
# costs (valgrind's callgrind: the same count on every run, whatever else the
# machine does), on the same inputs:
#   bench/instructions.sh OLD/picmeta NEW/picmeta [RECORDS]
# The working-file methods run on a working file of RECORDS records (default
# 2000), CopyExifInfo on 20 folders of RECORDS/20 records, ReadEXIF on the
# sample case of `picmeta demo`. Each figure is the whole program's, start-up
# included.
set -euo pipefail
. "$(dirname "$0")/../scripts/packages.sh"
bash "$(dirname "$0")/../scripts/setup.sh" "${PICMETA_INSTRUCTIONS_PACKAGES[@]}" >&2
old=$(realpath "$1") new=$(realpath "$2") n=${3:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$new" demo "$work/case" >/dev/null
app=$work/case/app folder=$work/case/app/top/case
records() {  # COUNT: a working file of that many records
  local i
  printf '<?xml version="1.0" encoding="GBK"?>\n<root>\n'
  for ((i = 0; i < $1; i++)); do
    printf '  <info Orgid="3100000" Suborgid="ABCDEF" Net="001" Busiorgid="31000" Operno="0815" Opername="x" Claimstno="RDAA2011" BusiTime="2011-08-11" Transdate="2011:08:11 14:30:05" Filetype="JPG" Filename="p%d.jpg" Make="Canon" Model="Canon EOS 5D" Takedate="2011:08:01 09:05:07" Digidate="2011:08:01 09:05:07" Updatedate="2011:08:01 09:05:07" Software="Firmware 1.1.1" Ifdoffset="236" Offset="780" Soioffset="1124" Datecreat="2011/8/1 9:05:07" Datemodified="2011/8/1 9:05:07" BusiProcess=""/>\n' "$i"
  done
  printf '</root>\n'
}
records "$n" >"$work/records.xml"
# The same file with the listed pictures of the sample case recorded.
known() {
  sed 's/Filename="p0.jpg"/Filename="IMG_0001.JPG"/; s/Filename="p1.jpg"/Filename="IMG_0002.JPG"/; s/Filename="p2.jpg"/Filename="车损.jpg"/' \
    "$work/records.xml"
}
known | iconv -f UTF-8 -t GBK >"$work/known.xml"
sed "s/Filename=\"IMG_0002.JPG\"/Filename=\"p1.jpg\"/" "$work/known.xml" >"$work/one-new.xml"
records $((n / 20)) >"$work/small.xml"
# A case of 20 document folders for CopyExifInfo.
mkdir -p "$work/copy/case"
{
  printf '<busiinfoprocess><busiinforecord foldername="A">'
  for i in $(seq 1 20); do
    printf '<subcalsscodeinforecord foldername="F%d"><documentinfo><relationship><resourcemainindex/></relationship></documentinfo></subcalsscodeinforecord>' "$i"
  done
  printf '</busiinforecord></busiinfoprocess>'
} >"$work/copy/case/busiinfoprocess.xml"

count() {  # LABEL PREPARE COMMAND...
  local prepare=$1
  shift
  eval "$prepare"
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
business=(--orgid 3100000ABCDEF001 --busiorgid 31000 --operno 0815 --opername x --busi-time 2011-08-11)
row() {  # LABEL PREPARE ARGS...
  local label=$1 prepare=$2
  shift 2
  local a b
  a=$(count "$prepare" "$old" "$@")
  b=$(count "$prepare" "$new" "$@")
  printf '| %s | %s | %s | %+.1f%% |\n' "$label" "$a" "$b" "$(echo "100 * ($b - $a) / $a" | bc -l)"
}
reset_working() { cp "$work/records.xml" "$folder/exifinfo.xml"; rm -f "$folder"/exifinfo.xml.*; }
reset_copy() {
  rm -rf "$work/copy/pics" "$work"/copy/case/exif_*
  for i in $(seq 1 20); do mkdir -p "$work/copy/pics/A/F$i"; cp "$work/small.xml" "$work/copy/pics/A/F$i/exifinfo.xml"; done
}
echo "| call | old | new | change |"
echo "|---|---|---|---|"
row "ReadEXIF, the sample case (7 pictures)" "rm -f $app/exif_*" read-exif --temp-path "$work/case/pictures" \
  --app-path "$app" --busitype 2 "${business[@]}"
reset_known() { cp "$work/known.xml" "$folder/exifinfo.xml"; rm -f "$folder"/exifinfo.xml.*; }
reset_one_new() { cp "$work/one-new.xml" "$folder/exifinfo.xml"; rm -f "$folder"/exifinfo.xml.*; }
row "WriteDatatoXML, $n records, all listed pictures known" reset_known write --app-path "$app" "${business[@]}"
row "WriteDatatoXML, $n records, one listed picture new" reset_one_new write --app-path "$app" "${business[@]}"
row "NewWriteDatatoXML, 1 picture into $n records" reset_working new-write --app-path "$app" \
  --file "$folder/IMG_0001.JPG" "${business[@]}"
row "DeleteDatafromXML, 1 of $n records" reset_working delete --folder "$folder" --picture p7.jpg
row "CopyExifInfo, 20 folders of $((n / 20)) records" reset_copy copy --folder "$work/copy/case" \
  --temp-path "$work/copy/pics" --operno 0815
