#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and starts the viewer with a simulated board (vazorez-demo).
# Extra arguments go to the demo (for instance --autoconnect, --mode alternate, --junk 0.01).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh demo
# The viewer, the demo and the tools the README goes on to use (simulator, capture, decode, plot,
# and the h5 file checker the viewer starts): the tests and benchmarks, most of a full build, are
# run-tests.sh's.
BUILD_TARGETS="vazorez-gui vazorez-demo vazorez-h5check vazorez-sim vazorez-capture vazorez-decode vazorez-plot" \
  bash scripts/build.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display here: run the demo under Xvfb and look at its picture instead:"
  echo "  xvfb-run -a ./build/bin/vazorez-demo --autoconnect --frames 50 --screenshot demo.png"
  exit 0
fi
exec ./build/bin/vazorez-demo "$@"
