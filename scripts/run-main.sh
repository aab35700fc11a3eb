#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and streams frames through the serial worker over a
# pseudo-terminal (the window comes with the presentation layer).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
bash scripts/build.sh
./build/bin/tst_serialport streamsEveryBackToBackFrameInOrder
