#!/usr/bin/env bash
# Makes the delimited text benchmark input (deterministic, fixed seed).
# usage: bench/make-text-data.sh [OUT.csv] [ROWS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-/tmp/trovadex-bench/text.csv}
mkdir -p "$(dirname "$out")"
python3 "$here/make-text-data.py" "$out" "${2:-1000000}"
ls -l "$out"
