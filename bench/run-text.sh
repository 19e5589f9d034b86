#!/usr/bin/env bash
# Times CSV -> .tab and CSV -> .csv conversions of the benchmark input with
# /usr/bin/time -v (median of 3 runs) and prints MB/s of input and peak RSS.
# usage: bench/run-text.sh [BINARY] [INPUT.csv]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build/trovadex}")
input=${2:-/tmp/trovadex-bench/text.csv}
[ -f "$input" ] || "$here/make-text-data.sh" "$input"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$input" "$work/in.csv"
bytes=$(stat -c %s "$work/in.csv")
for ext in tab csv; do
  results=()
  for run in 1 2 3; do
    rm -f "$work/out.$ext"
    (cd "$work" && /usr/bin/time -v "$bin" in.csv "out.$ext" >/dev/null 2>"time.$run")
    secs=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,a,":"); s=0; for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time.$run")
    cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$work/time.$run")
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.$run")
    results+=("$secs $cpu $rss")
  done
  median=$(printf '%s\n' "${results[@]}" | sort -n | sed -n 2p)
  read -r secs cpu rss <<<"$median"
  awk -v b="$bytes" -v s="$secs" -v c="$cpu" -v r="$rss" -v e="$ext" 'BEGIN {
    printf "CSV -> .%s: wall %.2f s (%.0f MB/s of input), cpu %.2f s (%.0f MB/s), input %.1f MB, peak RSS %.0f MB\n",
      e, s, b / s / 1e6, c, b / c / 1e6, b / 1e6, r / 1024 }'
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
