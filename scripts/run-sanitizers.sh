#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the whole project and its tests with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (leak checking on) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAZOREZ_BUILD_BENCH=OFF \
  -DVAZOREZ_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j2
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan-system-libraries.supp:print_suppressions=0"
export VAZOREZ_SOAK_FRAMES="${VAZOREZ_SOAK_FRAMES:-20000}"
cd "$build"
ctest --output-on-failure -j2
