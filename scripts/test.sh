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
# ThreadSanitizer: the capture pipeline's camera thread against application threads.
echo "== tsan: configure and build the capture tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$JOBS" --target capture_tests
echo "== tsan: capture tests"
if ! TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1}" \
    ctest --preset tsan -j "$JOBS" --timeout 300 -L tsan; then status=1; fi
exit $status
