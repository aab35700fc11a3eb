#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the whole project and its tests with clang and Qt 6 under AddressSanitizer and
# UndefinedBehaviorSanitizer (leak checking on) and runs every test: the second full build, beside
# the Qt 5.15 one with GCC, runs every suite against Qt 6 and under the sanitizers at once.
# VAZOREZ_SANITIZER_QT=5 makes it a Qt 5 build instead.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan
qt="${VAZOREZ_SANITIZER_QT:-6}"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAZOREZ_BUILD_BENCH=OFF \
  -DVAZOREZ_QT="$qt" -DVAZOREZ_SANITIZE=address,undefined >"$build.configure.log" \
  || { cat "$build.configure.log"; exit 1; }
grep -- "-- VazoRez:" "$build.configure.log" | sed 's/^-- /sanitizers: /'
grep -q ", Qt $qt\." "$build.configure.log" || { echo "sanitizers: not configured with Qt $qt"; exit 1; }
start=$SECONDS
if ! cmake --build "$build" -j2 >"$build.build.log" 2>&1; then
  grep -E "error|Error" "$build.build.log" | head -n 20
  echo "sanitizers: build failed"
  exit 1
fi
echo "sanitizers: built in $((SECONDS - start)) s, $(grep -c "warning:" "$build.build.log") warnings"
grep "warning:" "$build.build.log" | sort -u | head -n 20 || true
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan-system-libraries.supp:print_suppressions=0"
export VAZOREZ_SOAK_FRAMES="${VAZOREZ_SOAK_FRAMES:-20000}"
cd "$build"
ctest --output-on-failure -j2
