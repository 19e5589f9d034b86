#!/usr/bin/env bash
# Builds every fuzz target and runs them one after another.
# Usage: fuzz/run-all.sh SECONDS   (seconds per target)
# Exit status 1 when any target found something; see fuzz/run.sh.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: fuzz/run-all.sh SECONDS}
build=${TROVADEX_FUZZ_BUILD:-$root/build-fuzz}
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTROVADEX_FUZZ=ON -DTROVADEX_TESTS=OFF >/dev/null || exit 2
fi
nice -n 19 cmake --build "$build" -j2 >/dev/null || { echo "fuzz build failed"; exit 2; }
failed=0
for source in "$root"/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  TROVADEX_FUZZ_NO_BUILD=1 "$root/fuzz/run.sh" "$name" "$seconds" || failed=1
done
exit $failed
