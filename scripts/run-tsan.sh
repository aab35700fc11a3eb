#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the suites of the serial worker, the window, the recorder (tst_labinstrument records
# through the window) and the spectrum history with clang under ThreadSanitizer, and runs them
# with scripts/tsan/qtsync.cpp preloaded: Debian's Qt is not built with the sanitizer, so the
# preload tells it about Qt's mutexes, queued calls and thread ends. scripts/tsan/qt.supp names
# the Qt and GLib calls into the C library that stay unchecked. Passes with no report at all; a
# canary race must be reported first, so that a preload that hid every race cannot pass.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${TSAN_BUILD_DIR:-build-tsan}"
suites=(tst_labinstrument tst_mainwindow tst_serialport tst_spectrumhistory tst_historywindow)
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVAZOREZ_BUILD_BENCH=OFF -DVAZOREZ_SANITIZE=thread >/dev/null
cmake --build "$build" -j2 --target "${suites[@]}"
read -r -a qt_core <<<"$(pkg-config --cflags --libs Qt5Core)"
preload="$PWD/$build/libqtsync.so"
clang++ -std=c++17 -O2 -shared -fPIC scripts/tsan/qtsync.cpp -o "$preload" "${qt_core[@]}" -ldl
clang++ -std=c++17 -O1 -g -fPIC -fsanitize=thread scripts/tsan/canary.cpp -o "$build/tsan-canary" \
  "${qt_core[@]}"

reports="$PWD/$build/tsan-reports"
rm -rf "$reports" && mkdir -p "$reports"
export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES=default.debug=false
# run NAME PROGRAM: runs PROGRAM with the preload (only PROGRAM: the preload takes itself out of
# the environment of what it is loaded into), its reports in $reports/NAME.*; sets status and found.
run() {
  local name=$1 start=$SECONDS
  shift
  status=0
  TSAN_OPTIONS="suppressions=$PWD/scripts/tsan/qt.supp:exitcode=66:log_path=$reports/$name" \
    timeout 600 env LD_PRELOAD="$preload" "$@" >"$reports/$name.out" 2>&1 || status=$?
  found=$(cat "$reports/$name".[0-9]* 2>/dev/null | grep -c '^WARNING: ThreadSanitizer' || true)
  echo "$name: exit $status, $found reports, $((SECONDS - start)) s"
}

run canary "$build/tsan-canary"
if [ "$found" -eq 0 ]; then
  echo "the canary's race was not reported: the preload hides races" >&2
  exit 1
fi
# Two suites at a time, the longest first: each is mostly one busy thread under the sanitizer, and
# the machine has two cores. Each says its line and its reports once it has ended.
suite() {
  run "$1" "$build/bin/$1"
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    cat "$reports/$1.out" "$reports/$1".[0-9]* 2>/dev/null | tail -n 200 >&2
    return 1
  fi
}
failed=0
for name in "${suites[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
  { suite "$name" >"$reports/$name.said" 2>&1 && echo 0 >"$reports/$name.status" || echo 1 >"$reports/$name.status"; } &
done
wait
for name in "${suites[@]}"; do
  cat "$reports/$name.said"
  [ "$(cat "$reports/$name.status" 2>/dev/null)" = 0 ] || failed=1
done
exit $failed
