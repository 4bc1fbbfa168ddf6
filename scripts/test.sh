#!/usr/bin/env bash
# Builds the release and sanitizer presets and runs the whole suite under both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
JOBS=${KX_JOBS:-2}
status=0
for preset in release asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
  echo "== $preset: tests"
  if ! ctest --preset "$preset" -j "$JOBS" --timeout 300; then status=1; fi
done
exit $status
