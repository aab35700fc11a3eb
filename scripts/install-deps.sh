#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages the project needs, only those that are missing.
# Usage: scripts/install-deps.sh [build|test|demo]   (default: build)
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools libqt5charts5-dev
          libqt5serialport5-dev libqt5svg5 fonts-dejavu-core)
case "${1:-build}" in
  test) packages+=(xvfb xauth clang libclang-rt-14-dev libbenchmark-dev python3) ;;
  demo) packages+=(xvfb xauth) ;;
  build) ;;
  *) echo "install-deps.sh: unknown profile '$1' (build, test or demo)" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
