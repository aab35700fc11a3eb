#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or $BUILD_DIR); executables land in build/bin/. Everything is
# built, or only the targets in $BUILD_TARGETS (for instance "vazorez-gui vazorez-demo").
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
# shellcheck disable=SC2086 # the targets are words
cmake --build "$build_dir" -j2 ${BUILD_TARGETS:+--target $BUILD_TARGETS}
