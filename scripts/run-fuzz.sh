#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer), replays
# the committed regression inputs, then fuzzes each target for FUZZ_SECONDS (default 30) starting
# from the committed seeds. Any finding fails the run; new crash inputs land in build-fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAZOREZ_BUILD_FUZZ=ON \
  -DBUILD_TESTING=OFF -DVAZOREZ_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j2
mkdir -p "$build/findings"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in decoder receiver rfc2217; do
  binary="$build/bin/fuzz_$target"
  regressions=(fuzz/regressions/"$target"-*)
  if [ -e "${regressions[0]}" ]; then
    echo "== fuzz_$target: replaying ${#regressions[@]} regression inputs"
    "$binary" "${regressions[@]}" 2>&1 | tail -n 2
  fi
  work="$build/corpus-$target"
  mkdir -p "$work"
  echo "== fuzz_$target: ${seconds}s from the seed corpus"
  status=0
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
    "$work" "fuzz/corpus/$target" > "$build/fuzz_$target.log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::peak_rss|Done)" "$build/fuzz_$target.log" || true
  if [ $status -ne 0 ]; then
    grep -E "ERROR|SUMMARY|contract|#[0-9]+ " "$build/fuzz_$target.log" | head -n 40
    echo "fuzz_$target found a fault (exit $status): the input is in $build/findings"
    exit 1
  fi
done
echo "fuzzing: no findings"
