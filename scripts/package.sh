#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the installable package: on Debian and Ubuntu a .deb whose dependencies come from the
# binaries (dpkg-shlibdeps), elsewhere a .tar.gz. Builds in build-package/ without the tests, or in
# $BUILD_DIR as it is configured; extra arguments go to CMake. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
build_dir="${BUILD_DIR:-build-package}"
if [ -z "${BUILD_DIR:-}" ]; then
  set -- -DBUILD_TESTING=OFF "$@"
fi
BUILD_DIR="$build_dir" bash scripts/build.sh "$@"
rm -f "$build_dir"/vazorez-viewer_*.deb "$build_dir"/vazorez-viewer-*.tar.gz
(cd "$build_dir" && cpack >/dev/null)
for package in "$PWD/$build_dir"/vazorez-viewer_*.deb "$PWD/$build_dir"/vazorez-viewer-*.tar.gz; do
  [ -e "$package" ] && echo "$package"
done
exit 0
