#!/usr/bin/env bash
# Runs the independent corpus checker on the formats this build reads.
# Each file in tests/corpus.d names one corpus folder whose reader is built.
# Usage: tests/corpus.sh BINARY
set -u
here=$(cd "$(dirname "$0")" && pwd)
# ../shared beside the tree where it is (it may hold newer cases), else the
# copy in tests/data/shared.
shared="$here/../../shared"
[ -d "$shared/corpus" ] || shared="$here/data/shared"
bin=$1
if [ ! -x "$shared/tools/corpus-check" ] && [ ! -f "$shared/tools/corpus-check" ]; then
  echo "no corpus-check in $shared/tools: skipped"
  exit 0
fi
args=()
for f in "$here"/corpus.d/*; do
  [ -e "$f" ] || continue
  args+=(--only "$(basename "$f")/")
done
if [ ${#args[@]} -eq 0 ]; then
  echo "no built reader has corpus cases yet"
  exit 0
fi
py=/usr/bin/python3
[ -x "$py" ] || py=python3
exec "$py" "$shared/tools/corpus-check" "$bin" "$shared/corpus" "${args[@]}"
