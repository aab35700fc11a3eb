#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages the project needs, only those that are missing. Where there is no
# apt-get it says what to install instead.
# Usage: scripts/install-deps.sh [build|test|demo] [--qt6]   (default: build)
#   --qt6 adds Qt 6 (base, Charts, SerialPort) beside Qt 5, for a build with -DVAZOREZ_QT=6.
set -euo pipefail

profile=build qt6=no
for argument in "$@"; do
  case "$argument" in
    --qt6) qt6=yes ;;
    *) profile="$argument" ;;
  esac
done

# build-essential brings dpkg-dev, whose dpkg-shlibdeps works out the package's dependencies.
packages=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools libqt5charts5-dev
          libqt5serialport5-dev libqt5svg5 libkissfft-dev fonts-dejavu-core help2man libhdf5-dev
          libzmq3-dev cppzmq-dev)
# Qt 6's Charts needs its OpenGL module, which qt6-charts-dev does not bring along, and Qt 6's Gui
# looks for the keyboard and Vulkan headers.
[ $qt6 = yes ] && packages+=(qt6-base-dev qt6-base-dev-tools qt6-charts-dev qt6-serialport-dev
                             libqt6opengl6-dev libgl-dev libxkbcommon-dev libvulkan-dev)
case "$profile" in
  test) packages+=(xvfb xauth clang libclang-rt-14-dev libbenchmark-dev python3 desktop-file-utils
                   appstream groff-base ser2net lintian python3-h5py python3-numpy
                   python3-matplotlib python3-zmq) ;;
  demo) packages+=(xvfb xauth) ;;
  build) ;;
  *) echo "install-deps.sh: unknown profile '$profile' (build, test or demo; --qt6)" >&2; exit 2 ;;
esac

if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
  cat <<TEXT
install-deps.sh: no apt-get here, so nothing was installed. Install with your system's tools:
  - CMake 3.16 or newer and a C++17 compiler (GCC, Clang or MSVC)
  - Qt 5.15 (or Qt 6.2 or newer) with the modules Core, Gui, Widgets, Charts, SerialPort and Test
  - kissfft (its float build, with pkg-config's kissfft-float)
  - ZeroMQ 4 (libzmq with pkg-config's libzmq) and its C++ header cppzmq (zmq.hpp)
  - optional: help2man (manual pages); for the tests on Linux also Xvfb, xauth, clang,
    Google Benchmark, Python 3 with numpy, h5py and pyzmq, desktop-file-utils, appstream and
    (for the package) lintian
  The Debian 12 names, for reference: ${packages[*]}
TEXT
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: missing packages and no sudo; as root, run:" >&2
    echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -o DPkg::Lock::Timeout=300 -y -qq --no-install-recommends "${missing[@]}"
