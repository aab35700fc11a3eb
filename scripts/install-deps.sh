#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages the project needs, only those that are missing. Where there is no
# apt-get it says what to install instead.
# Usage: scripts/install-deps.sh [build|test|demo]   (default: build)
set -euo pipefail

# build-essential brings dpkg-dev, whose dpkg-shlibdeps works out the package's dependencies.
packages=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools libqt5charts5-dev
          libqt5serialport5-dev libqt5svg5 fonts-dejavu-core help2man libhdf5-dev)
case "${1:-build}" in
  test) packages+=(xvfb xauth clang libclang-rt-14-dev libbenchmark-dev python3 desktop-file-utils
                   appstream groff-base python3-h5py python3-numpy python3-matplotlib) ;;
  demo) packages+=(xvfb xauth) ;;
  build) ;;
  *) echo "install-deps.sh: unknown profile '$1' (build, test or demo)" >&2; exit 2 ;;
esac

if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
  cat <<TEXT
install-deps.sh: no apt-get here, so nothing was installed. Install with your system's tools:
  - CMake 3.16 or newer and a C++17 compiler (GCC, Clang or MSVC)
  - Qt 5.15 with the modules Core, Gui, Widgets, Charts, SerialPort and Test
  - optional: help2man (manual pages); for the tests on Linux also Xvfb, xauth, clang,
    Google Benchmark, Python 3, desktop-file-utils and appstream
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
