#!/usr/bin/env bash
# Writes starting inputs for every fuzz target into OUTDIR/<target>/: real
# files of the target's format from ../shared/corpus*, files the program's own
# writers make from them, and a few hand-made inputs for the small parsers.
# Usage: fuzz/make-seeds.sh PROGRAM OUTDIR
#   PROGRAM: a built trovadex binary (used to run the writers); OUTDIR: where
#   the folders of starting inputs go (replaced).
set -u
here=$(cd "$(dirname "$0")" && pwd)
shared=$(cd "$here/../.." && pwd)/shared
[ -d "$shared/corpus" ] || shared=$(cd "$here/.." && pwd)/tests/data/shared
# The writers run in a scratch directory: keep the program path absolute.
prog=$1
case $prog in /*) ;; *) prog=$PWD/$prog ;; esac
out=$2
maxbytes=65536

rm -rf "$out"
targets=(detect delimited text_to_number names_file dbase corvist_spreadsheet compound excel range bitmap wave instat stata sas_transport paradox epi_info sas_pc shapefile mapinfo zip
         spss matlab splus_text splus_binary gauss systat mstat lotus quattro quattro_pro statistica minitab xlsx)
for t in "${targets[@]}"; do mkdir -p "$out/$t"; done

n=0
add() {  # add TARGET FILE: copies FILE when it is small enough
  local size
  size=$(stat -c %s "$2" 2>/dev/null) || return 0
  [ "$size" -le "$maxbytes" ] || return 0
  n=$((n + 1))
  cp "$2" "$out/$1/$(basename "$2").$n"
}

corpus_files() {  # corpus_files DIR...: the input files (no notes, no expected values)
  for d in "$@"; do
    [ -d "$d" ] || continue
    find "$d" -maxdepth 1 -type f ! -name '*.json' ! -name '*.md' ! -name '*.expected.*' | sort
  done
}

# The text forms of every column value, for the number reader.
text_fields() {
  for f in $(corpus_files "$shared/corpus/delimited"); do
    tr ',;\t|' '\n\n\n\n' <"$f" | tr -d '\r"' | head -200
  done | sort -u | head -400
}

if [ -d "$shared" ]; then
  # Detection: the head of every corpus file, and a last byte that picks the
  # path ending the detection target uses (see detect_fuzz.cpp).
  for f in $(corpus_files "$shared"/corpus/* "$shared"/corpus-public/*); do
    case "${f,,}" in
      *.dbf) sel=1 ;; *.mif) sel=3 ;; *.db) sel=4 ;; *.sdd) sel=5 ;; *.rec) sel=6 ;;
      *.dht) sel=7 ;; *.txt) sel=8 ;; *.csv) sel=9 ;; *) sel=0 ;;
    esac
    n=$((n + 1))
    { head -c 120 "$f"; printf "\\$(printf %03o "$sel")"; } >"$out/detect/$(basename "$f").$n"
  done

  for f in $(corpus_files "$shared/corpus/delimited"); do add delimited "$f"; done
  # Text as other tools save it: a UTF-8 byte-order mark, UTF-16 with its
  # mark, NUL bytes inside the lines.
  for f in $(corpus_files "$shared/corpus/delimited" | head -3); do
    n=$((n + 1)); { printf '\357\273\277'; head -c 4000 "$f"; } >"$out/delimited/mark.$n"
    n=$((n + 1)); { printf '\377\376'; head -c 2000 "$f" | iconv -f latin1 -t utf-16le; } >"$out/delimited/utf16.$n" 2>/dev/null
    n=$((n + 1)); head -c 4000 "$f" | sed 's/,/,\x00/3' >"$out/delimited/nul.$n"
  done
  for f in $(corpus_files "$shared/corpus/dbase" "$shared/corpus-public/dbase" \
                          "$shared/corpus/shapefile" "$shared/corpus-public/shapefile"); do
    case "${f,,}" in *.dbf) add dbase "$f" ;; esac
  done
  for f in $(corpus_files "$shared/corpus/stata" "$shared/corpus-public/stata"); do add stata "$f"; done
  for f in $(corpus_files "$shared/corpus/xport" "$shared/corpus-public/sas-xpt"); do
    case "${f,,}" in *.xpt) add sas_transport "$f" ;; esac
  done
  for f in $(corpus_files "$shared/corpus-public/paradox"); do
    case "${f,,}" in *.db) add paradox "$f" ;; esac
  done
  for f in $(corpus_files "$shared/corpus-public/epiinfo"); do
    case "${f,,}" in *.rec) add epi_info "$f" ;; esac
  done
  for f in "$here"/../tests/data/sas_pc/*; do [ -f "$f" ] && add sas_pc "$f"; done
  for f in $(corpus_files "$shared/corpus/spss" "$shared/corpus-public/spss"); do
    case "${f,,}" in *.sav) add spss "$f" ;; esac
  done
  for f in $(corpus_files "$shared/corpus/matlab" "$shared/corpus-public/matlab4"); do add matlab "$f"; done
  for f in $(corpus_files "$shared/corpus-public/splus-dump"); do add splus_text "$f"; done
  for f in $(corpus_files "$shared/corpus-public/splus-binary"); do add splus_binary "$f"; done
  for f in $(corpus_files "$shared/corpus-public/systat"); do add systat "$f"; done
  for f in $(corpus_files "$shared/corpus/excel" "$shared"/corpus-public/excel-biff*); do
    add excel "$f"
    if [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' ')" = "d0cf11e0" ]; then add compound "$f"; fi
  done

  for f in $(corpus_files "$shared/corpus/bmp"); do add bitmap "$f"; done
  for f in $(corpus_files "$shared/corpus-public/lotus"); do add lotus "$f"; done
  for f in $(corpus_files "$shared/corpus-public/quattro-wq1" "$shared/corpus-public/quattro-wb"); do
    case "${f,,}" in *.wb3) add compound "$f" ;; *) add quattro "$f" ;; esac
  done
  # Quattro Pro notebooks: the stream inside the compound document.
  for f in $(corpus_files "$shared/corpus-public/quattro-pro-qpw"); do
    add compound "$f"
    n=$((n + 1))
    /usr/bin/python3 -c 'import olefile, sys; sys.stdout.buffer.write(olefile.OleFileIO(sys.argv[1]).openstream("NativeContent_MAIN").read())' \
      "$f" >"$out/quattro_pro/$(basename "$f").$n" 2>/dev/null || rm -f "$out/quattro_pro/$(basename "$f").$n"
  done
  for f in $(corpus_files "$shared/corpus/wav"); do add wave "$f"; done
  # Shapefiles and MIF files with their companion after the marker the
  # targets split at.
  for f in $(corpus_files "$shared/corpus/shapefile" "$shared/corpus-public/shapefile" \
                          "$shared/corpus/mapinfo" "$shared/corpus-public/mapinfo"); do
    case "${f,,}" in
      *.shp) t=shapefile; c="${f%.*}.dbf" ;;
      *.mif) t=mapinfo; c="${f%.*}.mid" ;;
      *) continue ;;
    esac
    n=$((n + 1))
    { cat "$f"; [ -f "$c" ] && { printf '@@COMPANION@@'; cat "$c"; }; } >"$out/$t/$(basename "$f").$n"
  done

  i=0
  while IFS= read -r line; do
    i=$((i + 1))
    { printf "\\$(printf %03o $((i % 5)))"; printf '%s' "$line"; } >"$out/text_to_number/field.$i"
  done < <(text_fields)
fi

# The writers' own output, from every corpus file this build reads.
if [ -x "$prog" ] && [ -d "$shared" ]; then
  work=$(mktemp -d)
  for f in $(corpus_files "$shared/corpus/delimited" "$shared/corpus/dbase" "$shared/corpus/excel"); do
    base=$(basename "$f")
    for ext in crs dbf xls csv wor xpt mat sdd fmt wq1; do
      ( cd "$work" && "$prog" "$f" "out.$ext" >/dev/null 2>&1 ) || continue
      [ -s "$work/out.$ext" ] || continue
      case $ext in
        crs) add corvist_spreadsheet "$work/out.crs" ;;
        dbf) add dbase "$work/out.dbf" ;;
        xls) add excel "$work/out.xls"; add compound "$work/out.xls" ;;
        csv) add delimited "$work/out.csv" ;;
        wor) add instat "$work/out.wor" ;;
        xpt) add sas_transport "$work/out.xpt" ;;
        mat) add matlab "$work/out.mat" ;;
        sdd) add splus_text "$work/out.sdd" ;;
        fmt) add gauss "$work/out.fmt" ;;
        wq1) add quattro "$work/out.wq1" ;;
      esac
      rm -f "$work/out.$ext"
    done
  done
  rm -rf "$work"
fi

# Workbooks: the small ones kept with the tests, and fresh ones from openpyxl.
for f in "$here"/../tests/data/xlsx/*.xlsx; do [ -f "$f" ] && add xlsx "$f" && add zip "$f"; done
if [ -x /usr/bin/python3 ]; then
  /usr/bin/python3 "$here/../tests/data/xlsx/write.py" "$out/xlsx" >/dev/null 2>&1 || true
fi

# ZIP archives: stored and deflated entries, as in workbooks.
if [ -x /usr/bin/python3 ]; then
  /usr/bin/python3 - "$out/zip" <<'PY' || true
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1] + "/two-entries.zip", "w")
z.writestr(zipfile.ZipInfo("[Content_Types].xml"), "<Types/>")
z.writestr("xl/workbook.xml", "<workbook><sheets><sheet name='A' r:id='rId1'/></sheets></workbook>" * 20,
           zipfile.ZIP_DEFLATED)
z.close()
PY
fi

# SPSS layouts the corpus lacks: zlib-compressed cases, long names, a very
# long string with value labels (written by pspp when it is installed).
if command -v pspp >/dev/null; then
  work=$(mktemp -d)
  cat >"$work/seed.sps" <<'SPS'
DATA LIST LIST /id (F4.0) household_income (F8.2) essay (A300) s (A3).
BEGIN DATA
1 12.5 "a long text" abc
2 3 "short" def
END DATA.
VALUE LABELS essay 'short' 'A short essay' /s 'abc' 'Letters'.
SAVE OUTFILE='zlib.sav' /ZCOMPRESSED.
SAVE OUTFILE='long.sav' /UNCOMPRESSED.
SPS
  (cd "$work" && pspp seed.sps >/dev/null 2>&1) && { add spss "$work/zlib.sav"; add spss "$work/long.sav"; }
  rm -rf "$work"
fi
# Gauss layouts the writer does not make: a marked 1 x 1 matrix and a
# zero-prefixed 2 x 1 matrix, little-endian.
{ printf '\377\377\377\377'; head -c 24 /dev/zero; printf '\001\357\315\253'; head -c 16 /dev/zero
  printf '\010\000\000\000'; head -c 76 /dev/zero; printf '\000\000\000\000\000\000\360\077'; } >"$out/gauss/marked"
{ head -c 4 /dev/zero; printf '\315\315\315\356'; head -c 16 /dev/zero; printf '\001\000\000\000'
  head -c 100 /dev/zero; printf '\002\000\000\000'; head -c 4 /dev/zero
  printf '\000\000\000\000\000\000\360\077\000\000\000\000\000\000\000\100'; } >"$out/gauss/zero-prefixed"

# An MStat header of one numeric column (the target reads its input as the
# data file too).
{ printf '\004\000\001\000\001\0004.00/EM'; head -c 58 /dev/zero; printf 'title'; head -c 66 /dev/zero
  printf 'X'; head -c 64 /dev/zero; printf '\004\000\010\000\002\000'; } >"$out/mstat/one-column"

# Statistica: a classic data file of one variable and one case (odd size for
# the target) and a spreadsheet stream of the same (even size).
{ printf 'CSS \000\000\377\377\001\000\000\000\001\000\000\000\000\000\000\000\005\000\000\000'
  head -c 110 /dev/zero; printf 'X       '; head -c 370 /dev/zero; printf '\000\000\000\000\000\000\360\077\000'; } >"$out/statistica/classic"
{ head -c 171 /dev/zero; printf '\001\000\000\000\001\000\000\000\000\000\000\000\000\000\000\001\001X\000'
  printf '\000\000\000\000\010\000\000\000'; head -c 13 /dev/zero; head -c 8 /dev/zero
  printf '\000\000\000\000\000\000\360\077\000'; } >"$out/statistica/spreadsheet"

# Minitab: a version 10 worksheet of one numeric column of two rows (the
# target reads odd-sized inputs as the record stream of later versions).
{ printf 'WORKSHEE'; head -c 72 /dev/zero; printf '\003\000\000\000\001\000\000\000\002\000\000\000'
  head -c 4 /dev/zero; printf 'X       \000\000\200\077\000\000\000\100'; } >"$out/minitab/worksheet"
# A version 11 worksheet with one packed text value ("ABCD"), and a record
# stream (odd size): header, a numeric column of two rows, a text factor.
{ printf 'WORKSHEE'; head -c 71 /dev/zero; printf '1\003\000\000\000\001\000\000\000\002\000\000\000'
  printf '\374\377\377\377T       \000\000\000\040\110\150\210\100'; } >"$out/minitab/version11"
{ printf '\001\000\000\000\033\000\000\000\014\000\000\000'; head -c 4 /dev/zero; printf 'MTB14   WIN'
  printf '\003\000\000\000\126\000\000\000\106\000\000\000\001\000\000\000\001\000\000\000'
  head -c 4 /dev/zero; printf '\002\000\000\000'; head -c 32 /dev/zero; printf '\001\000\000\000X\001\000\000\000d'
  head -c 6 /dev/zero; printf '\360\077'; head -c 6 /dev/zero; printf '\000\100'
  printf '\003\000\000\000\114\000\000\000\106\000\000\000\002\000\000\000\004\000\000\000'
  head -c 4 /dev/zero; printf '\001\000\000\000'; head -c 32 /dev/zero; printf '\002\000\000\000T!'
  head -c 4 /dev/zero; printf '\002\000\000\000ab'; } >"$out/minitab/stream"

# Names files.
printf '3\nyield!\nsite#\nblock$\n' >"$out/names_file/counted"
printf 'yield\n*site\nblock!\nspare$\n' >"$out/names_file/uncounted"
printf '0\n\n  two  words  \n#\n!\n$\n*\n' >"$out/names_file/odd"
printf '4\r\nA very long name that runs well past forty characters!\r\n' >"$out/names_file/crlf"

# Range arguments.
for r in A1 A1:C10 B2..D9 R1C1:R5C3 '$A$1:$B$2' IV65536 Sheet1!A1:B2 name 'a1:' ':b2' ZZ9999999; do
  n=$((n + 1))
  printf '%s' "$r" >"$out/range/range.$n"
done

for t in "${targets[@]}"; do
  echo "$t: $(ls "$out/$t" | wc -l) seeds"
done
