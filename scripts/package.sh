#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the installable package: on Debian and Ubuntu a .deb whose dependencies come from the
# binaries (dpkg-shlibdeps), elsewhere a .tar.gz. Builds in build-package/ without the tests, or in
# $BUILD_DIR as it is configured; extra arguments go to CMake. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-package}"
if [ -z "${BUILD_DIR:-}" ]; then
  set -- -DBUILD_TESTING=OFF "$@"
fi
BUILD_DIR="$build_dir" bash scripts/build.sh "$@"
rm -f "$build_dir"/vazorez-viewer_*.deb "$build_dir"/vazorez-viewer-*.tar.gz
(cd "$build_dir" && cpack >/dev/null)
ls -1 "$PWD/$build_dir"/vazorez-viewer_*.deb "$PWD/$build_dir"/vazorez-viewer-*.tar.gz 2>/dev/null
