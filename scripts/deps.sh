#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing; "deps.sh test" adds
# those only the test command needs.
set -euo pipefail
PKGS=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
      libbenchmark-dev libstb-dev zlib1g-dev libcli11-dev nlohmann-json3-dev libnl-3-dev
      libnl-route-3-dev iproute2 ethtool
      dpkg-dev file pkg-config pybind11-dev python3-dev python3-numpy python3-pytest)
# Windows build: MinGW-w64 cross compiler (posix threads) and Wine to run its tests.
PKGS+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64)
# kxeye view: the HTTP and WebSocket server library (docs/viewer.md).
PKGS+=(libwebsockets-dev)
# The test command's part ("deps.sh test"): headless Chromium, its WebDriver and Selenium for the
# browser tests of kxeye view. The main job does not need them.
if [ "${1:-}" = "test" ]; then
  PKGS+=(chromium chromium-driver python3-selenium)
fi
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
