#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or $BUILD_DIR); executables land in build/bin/.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build_dir" -j2
