#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one of them.
# Usage: fuzz/run.sh TARGET SECONDS [extra libFuzzer options]
#   TARGET: detect, delimited, dbase, ... (fuzz/<TARGET>_fuzz.cpp)
# The build lives in build-fuzz/ (TROVADEX_FUZZ_BUILD overrides), the growing
# corpus in build-fuzz/fuzz-corpus/TARGET, the seeds in build-fuzz/fuzz-seeds,
# the log in build-fuzz/fuzz-logs/TARGET.log. Crashing, leaking or hanging
# inputs are kept in fuzz/crashes/TARGET/.
# Exit status 1 when the target found something.
# TROVADEX_FUZZ_TIMEOUT sets the seconds after which one input counts as a
# hang and ends the run (default 25: the run is niced, and on a busy machine
# a niced input can wait seconds for the CPU). Inputs slower than a second
# are kept as slow units and checked again unloaded at the end.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?usage: fuzz/run.sh TARGET SECONDS}
seconds=${2:?usage: fuzz/run.sh TARGET SECONDS}
shift 2
build=${TROVADEX_FUZZ_BUILD:-$root/build-fuzz}

if [ -z "${TROVADEX_FUZZ_NO_BUILD:-}" ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTROVADEX_FUZZ=ON -DTROVADEX_TESTS=OFF >/dev/null || exit 2
  fi
  nice -n 19 cmake --build "$build" -j2 --target "fuzz_$target" trovadex >/dev/null || {
    echo "build of fuzz_$target failed"; exit 2; }
fi
bin=$build/fuzz/fuzz_$target
[ -x "$bin" ] || { echo "no fuzz target $target"; exit 2; }

seeds=$build/fuzz-seeds
if [ ! -d "$seeds/$target" ] || [ "$root/fuzz/make-seeds.sh" -nt "$seeds" ] \
   || [ "$build/trovadex" -nt "$seeds" ]; then
  "$root/fuzz/make-seeds.sh" "$build/trovadex" "$seeds" >/dev/null
fi
corpus=$build/fuzz-corpus/$target
crashes=$root/fuzz/crashes/$target
mkdir -p "$corpus" "$crashes" "$build/fuzz-logs"
log=$build/fuzz-logs/$target.log

# Ours come last so that they win over the caller's (the Dataset is never
# freed by design: no leak detection).
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1
nice -n 19 "$bin" "$corpus" "$seeds/$target" \
  -max_total_time="$seconds" -timeout="${TROVADEX_FUZZ_TIMEOUT:-25}" -max_len=65536 \
  -rss_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 -report_slow_units=1 \
  -artifact_prefix="$crashes/" "$@" >"$log" 2>&1
status=$?
# 72: stopped by an interrupt (the caller ended the run); not a finding.
[ $status -eq 72 ] && status=0

# A slow or hanging input found while the machine was busy may be slow only
# for want of CPU: run it again unloaded with a one-second bound and drop it
# when it passes.
for f in "$crashes"/slow-unit-* "$crashes"/timeout-*; do
  [ -f "$f" ] || continue
  if timeout 20 "$bin" -timeout=1 -runs=1 -detect_leaks=0 "$f" >/dev/null 2>&1; then
    echo "$target: $(basename "$f") runs within a second unloaded; dropped"
    rm -f "$f"
    case $(basename "$f") in timeout-*) status=0 ;; esac
  else
    echo "$target: $(basename "$f") is slow even unloaded"
    status=1
  fi
done

# One summary line: executions, coverage, features, corpus size.
last=$(grep -aE '^#[0-9]+' "$log" | tail -1)
execs=$(grep -aE '^stat::number_of_executed_units' "$log" | awk '{print $2}')
echo "$target: ${seconds}s execs=${execs:-?} $(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$last")"
if [ $status -ne 0 ]; then
  echo "$target: FOUND A FAULT (exit $status); inputs in $crashes, log in $log"
  grep -aE 'ERROR:|runtime error|SUMMARY' "$log" | head -5
  exit 1
fi
exit 0
