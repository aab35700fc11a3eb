#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the viewer (src/) the ways other platforms will, as far as this machine can pretend:
#   qt6     a configure with -DVAZOREZ_QT=6 (its full build with clang runs every suite under the
#           sanitizers, scripts/run-sanitizers.sh)
#   minimal tools, tests and benchmarks switched off, on a platform without a pty.h (one that does
#           not compile stands in): builds everything that is left, the viewer
#   no-pty  the same platform with the tools on: configure must switch the simulator, the demo,
#           tests and benchmarks off by itself, and the plain-Qt tools (capture, decode, plot) must
#           build (the viewer they would build beside them is the minimal variant's)
# plus configures with the pseudo-terminal present and the tools off, and with
# -DVAZOREZ_HAVE_PTY=OFF. Each variant builds in build-variants/NAME.
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD/build-variants"
mkdir -p "$root"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# configure NAME [cmake arguments...]: configures build-variants/NAME, keeps its log.
configure() {
  local name="$1"; shift
  rm -f "$root/$name/CMakeCache.txt"
  # Unoptimised and without debug information: these builds show that the code builds and links
  # this way, which takes half the time of an optimised build.
  cmake -S . -B "$root/$name" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DCMAKE_C_FLAGS_DEBUG=-O0 "$@" >"$root/$name.configure.log" 2>&1 \
    || { cat "$root/$name.configure.log"; fail "$name: configure failed"; return 1; }
  grep -- "-- VazoRez:" "$root/$name.configure.log" | sed "s/^-- /$name: /"
}

# build NAME [targets...]: builds, reports the time taken and the compiler's warnings.
build() {
  local name="$1"; shift
  local start=$SECONDS targets=()
  for target in "$@"; do targets+=(--target "$target"); done
  if ! cmake --build "$root/$name" -j2 "${targets[@]}" >"$root/$name.build.log" 2>&1; then
    grep -E "error|Error" "$root/$name.build.log" | head -n 20; fail "$name: build failed"; return 1
  fi
  echo "$name: built in $((SECONDS - start)) s, $(grep -c "warning:" "$root/$name.build.log") warnings"
}

# only_programs NAME PROGRAMS: the variant built exactly these programs, and registered no suite.
only_programs() {
  local name="$1" expected="$2" programs
  programs="$(ls "$root/$name/bin" 2>/dev/null | tr '\n' ' ')"
  [ "$programs" = "$expected" ] || fail "$name: built '$programs', expected '$expected'"
  if (cd "$root/$name" && ctest -N 2>/dev/null | grep -q "Test *#.*tst_"); then
    fail "$name: test suites are registered"
  fi
}

echo "== qt6 (configure only)"
configure qt6 -DVAZOREZ_QT=6 && { grep -q ", Qt 6\." "$root/qt6.configure.log" || fail "qt6: not configured with Qt 6"; }

mkdir -p "$root/no-pty-include"
echo '#error "this platform has no pty.h"' >"$root/no-pty-include/pty.h"
no_pty="-DCMAKE_CXX_FLAGS=-I$root/no-pty-include"

echo "== minimal"
configure minimal -DBUILD_TESTING=OFF -DVAZOREZ_BUILD_TOOLS=OFF -DVAZOREZ_BUILD_BENCH=OFF "$no_pty" \
  && build minimal && only_programs minimal "vazorez-gui vazorez-h5check "

echo "== tools off, the pseudo-terminal present (configure only)"
if configure tools-off -DBUILD_TESTING=OFF -DVAZOREZ_BUILD_TOOLS=OFF -DVAZOREZ_BUILD_BENCH=OFF; then
  grep -q "VazoRez: pty ON, tools OFF, test suites OFF, benchmarks OFF" "$root/tools-off.configure.log" \
    || fail "tools-off: the configure did not switch the suites and benchmarks off with the tools"
fi

echo "== no-pty"
if configure no-pty "$no_pty"; then
  grep -q "VazoRez: pty OFF, tools ON, test suites OFF, benchmarks OFF" "$root/no-pty.configure.log" \
    || fail "no-pty: the configure did not switch the pseudo-terminal's programs, suites and benchmarks off"
  targets="$(cmake --build "$root/no-pty" --target help | sed -n 's/^\.\.\. //p' | tr '\n' ' ')"
  for program in vazorez-sim vazorez-demo tst_frame; do
    case " $targets " in *" $program "*) fail "no-pty: $program is still a target" ;; esac
  done
  build no-pty vazorez-capture vazorez-decode vazorez-plot \
    && only_programs no-pty "vazorez-capture vazorez-decode vazorez-h5check vazorez-plot "
fi

echo "== VAZOREZ_HAVE_PTY=OFF (configure only)"
if configure pty-off -DVAZOREZ_HAVE_PTY=OFF; then
  grep -q "VazoRez: pty OFF, tools ON, test suites OFF, benchmarks OFF" "$root/pty-off.configure.log" \
    || fail "pty-off: VAZOREZ_HAVE_PTY=OFF did not switch the pseudo-terminal's programs, suites and benchmarks off"
fi

[ $failures -eq 0 ] && echo "build variants: all passed" || { echo "build variants: $failures failed"; exit 1; }
