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
# fuzz TARGET: replays its regression inputs, then fuzzes it from the seed corpus; the output is
# said at once when it ends, so that two running side by side do not mix their lines.
fuzz() {
  local target=$1 binary="$build/bin/fuzz_$1" out="$build/fuzz_$1.out" status=0
  {
    regressions=(fuzz/regressions/"$target"-*)
    if [ -e "${regressions[0]}" ]; then
      echo "== fuzz_$target: replaying ${#regressions[@]} regression inputs"
      "$binary" "${regressions[@]}" 2>&1 | tail -n 2
    fi
    work="$build/corpus-$target"
    mkdir -p "$work"
    echo "== fuzz_$target: ${seconds}s from the seed corpus"
    "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      "$work" "fuzz/corpus/$target" > "$build/fuzz_$target.log" 2>&1 || status=$?
    grep -E "^(stat::number_of_executed_units|stat::peak_rss|Done)" "$build/fuzz_$target.log" || true
    if [ $status -ne 0 ]; then
      grep -E "ERROR|SUMMARY|contract|#[0-9]+ " "$build/fuzz_$target.log" | head -n 40
      echo "fuzz_$target found a fault (exit $status): the input is in $build/findings"
    fi
  } > "$out" 2>&1
  cat "$out"
  return $status
}
# Each fuzzer takes one core: two at a time on a two-core machine.
failed=0
fuzz decoder & first=$!
fuzz receiver & second=$!
wait $first || failed=1
wait $second || failed=1
fuzz rfc2217 || failed=1
[ $failed -eq 0 ] || exit 1
echo "fuzzing: no findings"
