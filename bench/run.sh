#!/usr/bin/env bash
# Times whole conversions of the benchmark inputs, Trovadex and the programs a
# user would run instead side by side, and prints one table: input MB, wall
# and CPU seconds (median of RUNS runs, with min-max spread), MB/s of input,
# peak RSS, and how many times faster Trovadex is than each peer.
#
# Each run is timed by bench/time_runs.py (wall clock, user and system CPU time
# in microseconds and peak RSS of the process, from wait4).
#
# usage: bench/run.sh [DIR] [BINARY] [RUNS]
#   DIR     inputs made by bench/make-data.sh (made there when missing);
#           default /tmp/trovadex-bench
#   BINARY  default build/trovadex
#   RUNS    runs per conversion, default 5
# TROVADEX_BENCH_NO_INSTALL=1 skips the apt-get line for the peers.
#
# The machine may be shared: CPU time (user + sys) is the steadier figure,
# and the MB/s column is given for both.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-/tmp/trovadex-bench}
bin=$(realpath "${2:-$here/../build/trovadex}")
runs=${3:-5}
py=/usr/bin/python3
[ -x "$py" ] || py=python3

# The peers (and the tools that make the inputs); not part of CI.
if [ "${TROVADEX_BENCH_NO_INSTALL:-0}" != 1 ] && [ "$(id -u)" = 0 ]; then
  need=()
  command -v ogr2ogr >/dev/null || need+=(gdal-bin)
  command -v ssconvert >/dev/null || need+=(gnumeric)
  $py -c 'import pandas' 2>/dev/null || need+=(python3-pandas)
  $py -c 'import xlwt' 2>/dev/null || need+=(python3-xlwt)
  $py -c 'import openpyxl' 2>/dev/null || need+=(python3-openpyxl)
  command -v pspp >/dev/null || need+=(pspp)
  command -v readstat >/dev/null || need+=(readstat)
  Rscript -e 'library(foreign)' >/dev/null 2>&1 || need+=(r-cran-foreign)
  if [ ${#need[@]} -gt 0 ]; then
    echo "installing peers: ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null ||
      { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null; } ||
      echo "some peers could not be installed; their rows are skipped"
  fi
fi

"$here/make-data.sh" "$dir" "$bin"
dir=$(cd "$dir" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in "$dir"/data*; do ln -s "$f" "$work/$(basename "$f")"; done
results="$work/results.txt"
: >"$results"

# measure LABEL TOOL INPUT OUTPUT COMMAND...: RUNS timed runs of COMMAND in
# the work directory; a run that fails or leaves no output marks the row.
measure() {
  local label=$1 tool=$2 input=$3 output=$4
  shift 4
  [ -e "$work/$input" ] || { echo "$label|$tool|$input|missing" >>"$results"; return; }
  local bytes
  bytes=$(stat -L -c %s "$work/$input")
  local i line=""
  for ((i = 1; i <= runs; i++)); do
    rm -f "$work/$output"
    if (cd "$work" && $py "$here/time_runs.py" "$work/time.txt" "$@" >/dev/null 2>&1) &&
       [ -s "$work/$output" ]; then
      line+=" $(cat "$work/time.txt" | tail -1)"
    else
      echo "$label|$tool|$input|failed" >>"$results"
      printf '  %-10s %-10s failed\n' "$label" "$tool"
      return
    fi
  done
  echo "$label|$tool|$input|$bytes|$line" >>"$results"
  printf '  %-10s %-10s done\n' "$label" "$tool"
}

pandas_csv='import sys, pandas; pandas.read_csv(sys.argv[1]).to_csv(sys.argv[2], index=False)'
pandas_dta='import sys, pandas; pandas.read_stata(sys.argv[1]).to_csv(sys.argv[2], index=False)'
pandas_xlsx='import sys, pandas; pandas.read_excel(sys.argv[1], engine="openpyxl").to_csv(sys.argv[2], index=False)'
pandas_xpt='import sys, pandas; pandas.read_sas(sys.argv[1], format="xport").to_csv(sys.argv[2], index=False)'

echo "timing ($runs runs each) ..."
measure "CSV->CSV" trovadex data.csv out.csv "$bin" data.csv out.csv
measure "CSV->CSV" pandas data.csv out.csv $py -c "$pandas_csv" data.csv out.csv
measure "CSV->CSV" cat data.csv out.csv sh -c 'cat data.csv > out.csv'
measure "CSV->TAB" trovadex data.csv out.tab "$bin" data.csv out.tab
measure "CSV->CRV" trovadex data.csv out.crv "$bin" data.csv out.crv
measure "CSV->CRS" trovadex data.csv out.crs "$bin" data.csv out.crs
measure "CRS->CRV" trovadex data.crs out.crv "$bin" data.crs out.crv
measure "DBF->CSV" trovadex data.dbf out.csv "$bin" data.dbf out.csv
measure "DBF->CSV" ogr2ogr data.dbf out.csv ogr2ogr -f CSV out.csv data.dbf
measure "DBF->CRV" trovadex data.dbf out.crv "$bin" data.dbf out.crv
measure "DTA->CSV" trovadex data-110.dta out.csv "$bin" data-110.dta out.csv
measure "DTA->CSV" readstat data-110.dta out.csv readstat data-110.dta out.csv
measure "DTA118->CSV" trovadex data-118.dta out.csv "$bin" data-118.dta out.csv
measure "DTA118->CSV" readstat data-118.dta out.csv readstat data-118.dta out.csv
measure "DTA118->CSV" pandas data-118.dta out.csv $py -c "$pandas_dta" data-118.dta out.csv
measure "SHP->CSV" trovadex data-points.shp out.csv "$bin" data-points.shp out.csv
measure "SHP->CSV" ogr2ogr data-points.shp out.csv ogr2ogr -f CSV -lco GEOMETRY=AS_XY out.csv data-points.shp
measure "XLS->CSV" trovadex data.xls out.csv "$bin" data.xls out.csv
measure "XLS->CSV" ssconvert data.xls out.csv ssconvert data.xls out.csv
measure "XLSX->CSV" trovadex data.xlsx out.csv "$bin" data.xlsx out.csv
measure "XLSX->CSV" ssconvert data.xlsx out.csv ssconvert data.xlsx out.csv
measure "XLSX->CSV" pandas data.xlsx out.csv $py -c "$pandas_xlsx" data.xlsx out.csv
measure "XLS->CRV" trovadex data.xls out.crv "$bin" data.xls out.crv
measure "CSV->XPT" trovadex data.csv out.xpt "$bin" data.csv out.xpt
measure "XPT->CSV" trovadex data.xpt out.csv "$bin" data.xpt out.csv
measure "XPT->CSV" pandas data.xpt out.csv $py -c "$pandas_xpt" data.xpt out.csv
measure "XPT->CSV" readstat data.xpt out.csv readstat data.xpt out.csv
measure "SAV->CSV" trovadex data.sav out.csv "$bin" data.sav out.csv
measure "SAV->CSV" readstat data.sav out.csv readstat data.sav out.csv
measure "SAV->CSV" pspp-convert data.sav out.csv pspp-convert data.sav out.csv
measure "SAV->CRV" trovadex data.sav out.crv "$bin" data.sav out.crv
# Linearity: the same conversions on the first 100,000 rows.
measure "CSV->TAB" trovadex data-100k.csv out.tab "$bin" data-100k.csv out.tab
measure "CSV->CRV" trovadex data-100k.csv out.crv "$bin" data-100k.csv out.crv
measure "CSV->CSV" trovadex data-100k.csv out.csv "$bin" data-100k.csv out.csv
measure "DBF->CRV" trovadex data-100k.dbf out.crv "$bin" data-100k.dbf out.crv
measure "CRS->CRV" trovadex data-100k.crs out.crv "$bin" data-100k.crs out.crv
measure "SHP->CSV" trovadex data-points-100k.shp out.csv "$bin" data-points-100k.shp out.csv

$py "$here/run-table.py" "$results"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores; $(date -u +%Y-%m-%d)"
