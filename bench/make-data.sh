#!/usr/bin/env bash
# Makes the benchmark inputs in DIR (deterministic: fixed seed, same bytes on
# every run; nothing big is committed).
#   data.csv        1,000,000 rows x 10 columns (6 numeric, 2 text, 2 low-cardinality text)
#   data-100k.csv   its first 100,000 rows (for the linearity check)
#   data.dbf        the same table as dBase III (small Python writer)
#   data-100k.dbf
#   data-points.shp 1,000,000 points with 5 attributes as a shapefile (.shp, .shx, .dbf)
#   data-points-100k.shp  its first 100,000 points
#   data.xls        its first 16,000 rows as an Excel workbook (python3-xlwt)
#   data.xlsx       data.xls saved as an .xlsx workbook by ssconvert
#   data.crs        the table as a Corvist spreadsheet, written by Trovadex
#   data.xpt        the table as a SAS transport file, written by Trovadex
#   data.sav        SPSS system file (pspp), when pspp is installed
#   data.dta        Stata file (python3-pandas), when pandas is installed
#   data-110.dta    Stata release 110 (R foreign::write.dta), when R has foreign
#   data-118.dta    Stata release 118 (python3-pandas), when pandas is installed
# usage: bench/make-data.sh DIR [TROVADEX-BINARY]
# Inputs that a missing tool cannot make are skipped with a note.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: make-data.sh DIR [BINARY]}
bin=${2:-$here/../build/trovadex}
# The program runs inside DIR: keep its path absolute.
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
py=/usr/bin/python3
[ -x "$py" ] || py=python3
gen="$py $here/make-data.py"

made() { printf '  %-16s %8.1f MB\n' "$(basename "$1")" "$(stat -c %s "$1" | awk '{print $1 / 1e6}')"; }
skip() { echo "  skipped $1: $2"; }

[ -s "$dir/data.csv" ] || $gen csv "$dir/data.csv" 1000000
made "$dir/data.csv"
[ -s "$dir/data-100k.csv" ] || $gen csv "$dir/data-100k.csv" 100000
made "$dir/data-100k.csv"
[ -s "$dir/data.dbf" ] || $gen dbf "$dir/data.csv" "$dir/data.dbf"
made "$dir/data.dbf"
[ -s "$dir/data-100k.dbf" ] || $gen dbf "$dir/data-100k.csv" "$dir/data-100k.dbf"
made "$dir/data-100k.dbf"
[ -s "$dir/data-points.shp" ] || $gen shp "$dir/data.csv" "$dir/data-points.shp" 1000000
made "$dir/data-points.shp"
[ -s "$dir/data-points-100k.shp" ] || $gen shp "$dir/data.csv" "$dir/data-points-100k.shp" 100000
made "$dir/data-points-100k.shp"

if $py -c 'import xlwt' 2>/dev/null; then
  [ -s "$dir/data.xls" ] || $gen xls "$dir/data.csv" "$dir/data.xls" 16000
  made "$dir/data.xls"
else
  skip data.xls "python3-xlwt is not installed (apt-get install python3-xlwt)"
fi
if [ -s "$dir/data.xls" ] && command -v ssconvert >/dev/null; then
  [ -s "$dir/data.xlsx" ] || ssconvert -T Gnumeric_Excel:xlsx2 "$dir/data.xls" "$dir/data.xlsx" >/dev/null 2>&1
  made "$dir/data.xlsx"
else
  skip data.xlsx "needs data.xls and ssconvert (apt-get install gnumeric)"
fi

if [ -x "$bin" ]; then
  for n in data data-100k; do
    if [ ! -s "$dir/$n.crs" ]; then
      rm -f "$dir/$n.crs"
      (cd "$dir" && "$bin" "$n.csv" "$n.crs" >/dev/null 2>&1) || true
    fi
    if [ -s "$dir/$n.crs" ]; then made "$dir/$n.crs"; else skip "$n.crs" "this Trovadex build does not write .crs"; fi
  done
else
  skip data.crs "no Trovadex binary at $bin"
fi

# SAS transport: no independent program here writes version 5 from a table,
# so Trovadex writes it (the peers time the reading side).
if [ -x "$bin" ]; then
  if [ ! -s "$dir/data.xpt" ]; then
    rm -f "$dir/data.xpt"
    (cd "$dir" && "$bin" data.csv data.xpt >/dev/null 2>&1) || true
  fi
  if [ -s "$dir/data.xpt" ]; then made "$dir/data.xpt"; else skip data.xpt "this Trovadex build does not write .xpt"; fi
fi

if command -v pspp >/dev/null; then
  if [ ! -s "$dir/data.sav" ]; then
    cat >"$dir/make-sav.sps" <<SPS
GET DATA /TYPE=TXT /FILE='$dir/data.csv' /ARRANGEMENT=DELIMITED /DELCASE=LINE
  /FIRSTCASE=2 /DELIMITERS=',' /QUALIFIER='"'
  /VARIABLES= id F8.0 height F8.2 value F24.10 name A16 city A14 count F4.0
              delta F12.4 code A2 ratio F24.16 note A11.
SAVE OUTFILE='$dir/data.sav'.
SPS
    pspp "$dir/make-sav.sps" >/dev/null
    rm -f "$dir/make-sav.sps"
  fi
  made "$dir/data.sav"
else
  skip data.sav "pspp is not installed"
fi

if command -v Rscript >/dev/null && Rscript -e 'library(foreign)' >/dev/null 2>&1; then
  [ -s "$dir/data-110.dta" ] ||
    Rscript -e 'a <- commandArgs(TRUE); foreign::write.dta(read.csv(a[1], stringsAsFactors = FALSE), a[2], version = 7L)' \
      "$dir/data.csv" "$dir/data-110.dta"
  made "$dir/data-110.dta"
else
  skip data-110.dta "R with foreign is not installed (apt-get install r-cran-foreign)"
fi

if $py -c 'import pandas' 2>/dev/null; then
  [ -s "$dir/data.dta" ] || $gen dta "$dir/data.csv" "$dir/data.dta"
  made "$dir/data.dta"
  [ -s "$dir/data-118.dta" ] || $gen dta "$dir/data.csv" "$dir/data-118.dta" 118
  made "$dir/data-118.dta"
else
  skip data.dta "python3-pandas is not installed"
fi
