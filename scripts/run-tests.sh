#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and runs every test: the suite, a smoke run of each benchmark,
# the Debian package built, installed system-wide with apt-get (as root or with sudo), run and
# purged while the viewer is built the ways other platforms build it, the fuzzers for
# FUZZ_SECONDS each (default 30), the whole suite again with clang and Qt 6 under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the suites of the threads' hand-overs under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "run-tests.sh: the package test installs the package vazorez-viewer system-wide with apt-get"
echo "  (as root, or with sudo) and purges it again; an installed vazorez-viewer is replaced by this"
echo "  build's and then removed."
bash scripts/install-deps.sh test --qt6
start=$SECONDS
# section NAME: starts the next part of the run and says how long the last one took.
section() {
  [ -n "${section_name:-}" ] && echo "   ($section_name: $((SECONDS - section_start)) s)"
  section_name="$*" section_start=$SECONDS
  [ -z "$section_name" ] || echo "== $section_name"
}

section "build and test"
bash scripts/build.sh
(cd build && ctest --output-on-failure -j2)

section "benchmarks (smoke run, no thresholds)"
./build/bin/decode_bench --smoke --json
./build/bin/stream_bench --smoke --json
QT_QPA_PLATFORM=offscreen ./build/bin/window_bench --smoke --json
QT_QPA_PLATFORM=offscreen ./build/bin/history_bench --smoke --json
./build/bin/radar_bench --smoke --json
./build/bin/recording_bench --smoke --json
QT_QPA_PLATFORM=offscreen ./build/bin/radarview_bench --smoke --json
./build/bin/publish_bench --smoke --json
QT_QPA_PLATFORM=offscreen ./build/bin/demo_bench --smoke --json

section "package: build, install system-wide (apt-get), run, purge; beside it the build variants (minimal, no-pty, configures)"
# The package's steps (cpack, lintian, apt, the demo under Xvfb) mostly keep one core busy: the
# variants build on the other meanwhile, and say what they found once the package is checked.
bash scripts/check-builds.sh >build/check-builds.log 2>&1 &
variants=$!
trap 'kill $variants 2>/dev/null || true' EXIT
BUILD_DIR=build bash scripts/package.sh | tee build/package.log
package="$(tail -n 1 build/package.log)"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)"
bash tests/package/package_test.sh "$package" "$version"
echo "   (package checked after $((SECONDS - section_start)) s; waiting for the build variants)"
variants_status=0
wait $variants || variants_status=$?
trap - EXIT
cat build/check-builds.log
[ $variants_status -eq 0 ]

section "fuzzing"
bash scripts/run-fuzz.sh

section "sanitizers, Qt 6"
VAZOREZ_SOAK_FRAMES="${VAZOREZ_SOAK_FRAMES:-20000}" bash scripts/run-sanitizers.sh

section "thread sanitizer"
bash scripts/run-tsan.sh
section
echo "all checks passed in $((SECONDS - start)) s"
