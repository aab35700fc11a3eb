#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole program as a process, on a real X server (Xvfb): started with arguments it does not know,
# it starts as without them; closing its window ends it with exit code 0 and nothing on the console
# about threads or socket notifiers.
# Usage: app_process_test.sh PATH_TO_VAZOREZ_GUI
set -uo pipefail
gui="$1"
# Under AddressSanitizer the X platform plugin's libraries are unloaded before the leak report, so
# what they keep shows up as an unknown module; the window's own leaks are checked offscreen by
# tst_mainwindow and tst_lifecycle.
[ -n "${ASAN_OPTIONS:-}" ] && export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
here="$(cd "$(dirname "$0")" && pwd)"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

run() {
  "$gui" "$@" 2>"$log" &
  local pid=$!
  if ! python3 "$here/xclose.py" "KVX VazoRez GUI" 15; then
    kill "$pid" 2>/dev/null; wait "$pid"; cat "$log"; return 1
  fi
  local status waited=0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: the program did not end within 10 s of its window closing"; kill -9 "$pid"; return 1
  fi
  wait "$pid"; status=$?
  if [ $status -ne 0 ]; then echo "FAIL: exit code $status with arguments: $*"; cat "$log"; return 1; fi
  if grep -iE "thread|notifier" "$log"; then echo "FAIL: Qt complained on the console"; return 1; fi
  echo "PASS: exit code 0 after closing the window, arguments: ${*:-(none)}"
}

failures=0
run || failures=$((failures + 1))
run --no-such-option extra words -x 3 || failures=$((failures + 1))
echo "$((2 - failures)) passed, $failures failed"
[ $failures -eq 0 ]
