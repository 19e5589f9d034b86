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
targets=(detect delimited text_to_number names_file dbase corvist_spreadsheet compound excel range bitmap wave instat lotus quattro quattro_pro)
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
  for f in $(corpus_files "$shared/corpus/dbase" "$shared/corpus-public/dbase" \
                          "$shared/corpus/shapefile" "$shared/corpus-public/shapefile"); do
    case "${f,,}" in *.dbf) add dbase "$f" ;; esac
  done
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
    for ext in crs dbf xls csv wor wq1; do
      ( cd "$work" && "$prog" "$f" "out.$ext" >/dev/null 2>&1 ) || continue
      [ -s "$work/out.$ext" ] || continue
      case $ext in
        crs) add corvist_spreadsheet "$work/out.crs" ;;
        dbf) add dbase "$work/out.dbf" ;;
        xls) add excel "$work/out.xls"; add compound "$work/out.xls" ;;
        csv) add delimited "$work/out.csv" ;;
        wor) add instat "$work/out.wor" ;;
        wq1) add quattro "$work/out.wq1" ;;
      esac
      rm -f "$work/out.$ext"
    done
  done
  rm -rf "$work"
fi

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
