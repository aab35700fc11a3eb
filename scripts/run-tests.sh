#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and runs every test: the suite, a smoke run of each benchmark,
# the fuzzers for FUZZ_SECONDS each (default 60), and the whole suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
start=$SECONDS

echo "== build and test"
bash scripts/build.sh
(cd build && ctest --output-on-failure -j2)

echo "== benchmarks (smoke run, no thresholds)"
./build/bin/decode_bench --smoke --json
./build/bin/stream_bench --smoke --json
QT_QPA_PLATFORM=offscreen ./build/bin/window_bench --smoke --json
QT_QPA_PLATFORM=offscreen ./build/bin/history_bench --smoke --json

echo "== fuzzing"
bash scripts/run-fuzz.sh

echo "== sanitizers"
VAZOREZ_SOAK_FRAMES="${VAZOREZ_SOAK_FRAMES:-20000}" bash scripts/run-sanitizers.sh
echo "all checks passed in $((SECONDS - start)) s"
