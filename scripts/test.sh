#!/usr/bin/env bash
# Builds the release and sanitizer presets and runs the whole suite under both, then the capture
# tests under ThreadSanitizer and the fuzz targets (decoder, wire parsers) for a bounded time.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
JOBS=${KX_JOBS:-2}
LOG_DIR=build/test-logs
mkdir -p "$LOG_DIR"
status=0
passed=0
failed=0

# Adds the counts of a ctest run's closing line ("N% tests passed, F tests failed out of T").
count() {
  local line t f
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$1" | tail -n 1)
  if [ -z "$line" ]; then status=1; return; fi
  f=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  t=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + t - f))
  failed=$((failed + f))
}

for preset in release asan; do
  echo "== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$JOBS"; then
    echo "== $preset: build failed"; status=1; continue
  fi
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$JOBS" --timeout 300 2>&1 | tee "$LOG_DIR/$preset.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count "$LOG_DIR/$preset.log"
done

# ThreadSanitizer: the capture pipeline's camera thread against application threads.
echo "== tsan: configure and build the capture tests"
if cmake --preset tsan >/dev/null && cmake --build --preset tsan -j "$JOBS" --target capture_tests; then
  echo "== tsan: capture tests"
  TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1 halt_on_error=1}" \
    ctest --preset tsan -j "$JOBS" --timeout 300 -L tsan 2>&1 | tee "$LOG_DIR/tsan.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count "$LOG_DIR/tsan.log"
else
  echo "== tsan: build failed"; status=1
fi

# The decoder never trusts frame bytes: a bounded libFuzzer run under ASan and UBSan.
echo "== fuzz: decoder ${KX_FUZZ_SECONDS:-20} s, wire parsers 5 s each"
if bash scripts/fuzz.sh "${KX_FUZZ_SECONDS:-20}" > "$LOG_DIR/fuzz.log" 2>&1; then
  passed=$((passed + 1)); tail -n 3 "$LOG_DIR/fuzz.log"
else
  failed=$((failed + 1)); status=1; tail -n 40 "$LOG_DIR/fuzz.log"
fi

echo "tests: $passed passed, $failed failed"
exit $status
