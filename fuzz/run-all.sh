#!/usr/bin/env bash
# Builds every fuzz target and runs them one after another within one total
# time budget, shared equally by the targets (at least 5 seconds each), so
# that adding a target does not lengthen the run.
# Usage: fuzz/run-all.sh TOTAL_SECONDS
# Exit status 1 when any target found something; see fuzz/run.sh.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
total=${1:?usage: fuzz/run-all.sh TOTAL_SECONDS}
build=${TROVADEX_FUZZ_BUILD:-$root/build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTROVADEX_FUZZ=ON -DTROVADEX_TESTS=OFF >/dev/null || exit 2
fi
nice -n 19 cmake --build "$build" -j2 >/dev/null || { echo "fuzz build failed"; exit 2; }
targets=("$root"/fuzz/*_fuzz.cpp)
each=$(( total / ${#targets[@]} ))
[ "$each" -ge 5 ] || each=5
echo "fuzz: ${#targets[@]} targets, ${each}s each (${total}s in all)"
failed=0
for source in "${targets[@]}"; do
  name=$(basename "$source" _fuzz.cpp)
  TROVADEX_FUZZ_NO_BUILD=1 "$root/fuzz/run.sh" "$name" "$each" || failed=1
done
exit $failed
