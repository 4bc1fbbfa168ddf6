#!/usr/bin/env bash
# Installs the Debian packages a job needs, only when some are missing.
#   bash scripts/deps.sh main   the build of the SDK and kxeye: what scripts/main.sh needs
#   bash scripts/deps.sh test   the above and everything the tests add (scripts/test.sh): Clang and
#                               its sanitizer runtimes, Google Benchmark, stb, Python with pybind11
#                               and NumPy, the packaging tools, ip and ethtool for the namespace
#                               tests, MinGW-w64 and Wine for the Windows build, Chromium,
#                               its WebDriver and Selenium for the viewer's browser tests
# With no argument it installs the test set (the whole list), as it always did.
set -euo pipefail
JOB=${1:-test}
case "$JOB" in
  main|test) ;;
  *) echo "usage: bash scripts/deps.sh [main|test]" >&2; exit 2 ;;
esac
# The main job: configure (GoogleTest is small and keeps the configure step the same for both
# jobs) and build the libraries and kxeye.
PKGS=(cmake ninja-build g++ pkg-config zlib1g-dev libcli11-dev nlohmann-json3-dev libnl-3-dev
      libnl-route-3-dev googletest libgtest-dev libgmock-dev)
# kxeye view: the HTTP and WebSocket server library (docs/viewer.md).
PKGS+=(libwebsockets-dev)
if [ "$JOB" = test ]; then
  PKGS+=(clang libclang-rt-14-dev libbenchmark-dev libstb-dev iproute2 ethtool
         dpkg-dev file pybind11-dev python3-dev python3-numpy python3-pytest)
  # Windows build: MinGW-w64 cross compiler (posix threads) and Wine to run its tests.
  PKGS+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64)
  # Headless Chromium, its WebDriver and Selenium for the browser tests of kxeye view.
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
  # The main job takes no recommended packages (it needs none); the test set keeps them (Wine's
  # launcher and the like come that way).
  NOREC=()
  [ "$JOB" = main ] && NOREC=(--no-install-recommends)
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${NOREC[@]}" "${missing[@]}" >/dev/null
fi
