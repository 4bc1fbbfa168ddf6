#!/usr/bin/env bash
# Builds the release and sanitizer presets and runs the whole suite under both, then the capture
# tests under ThreadSanitizer and the fuzz targets (decoder, wire parsers) for a bounded time.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test || exit 1
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
  ctest --preset "$preset" -j "$JOBS" --timeout 300 -LE soak 2>&1 | tee "$LOG_DIR/$preset.log"
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

# Soak (docs/reliability.md): two emulated cameras under faults, a third whose application is
# paused past the heartbeat and reconnects, and a flood of bad packets, in
# network namespaces; release for KX_SOAK_SECONDS (75), then AddressSanitizer with leak checking
# and ThreadSanitizer for KX_SOAK_SANITIZER_SECONDS (25) each. Only the soak target is built in
# the tsan tree. Each stage is bounded by ctest's timeout.
soak_stage() {  # name build-dir seconds [env...]
  local name=$1 preset=$2 seconds=$3
  shift 3
  echo "== soak: $name, $seconds s"
  env KX_SOAK_SECONDS="$seconds" "$@" ctest --preset "$preset" -L soak --timeout $((seconds * 3 + 120)) \
    2>&1 | tee "$LOG_DIR/soak-$name.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  count "$LOG_DIR/soak-$name.log"
}
soak_stage release release "${KX_SOAK_SECONDS:-75}"
soak_stage asan asan "${KX_SOAK_SANITIZER_SECONDS:-25}" ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
if cmake --build --preset tsan -j "$JOBS" --target soak_tests; then
  soak_stage tsan tsan "${KX_SOAK_SANITIZER_SECONDS:-25}" \
    TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1 halt_on_error=1}"
else
  echo "== soak: tsan build failed"; status=1; failed=$((failed + 1))
fi

# The decoder never trusts frame bytes: a bounded libFuzzer run under ASan and UBSan.
echo "== fuzz: decoder ${KX_FUZZ_SECONDS:-20} s, wire parsers 5 s each"
if bash scripts/fuzz.sh "${KX_FUZZ_SECONDS:-20}" > "$LOG_DIR/fuzz.log" 2>&1; then
  passed=$((passed + 1)); tail -n 3 "$LOG_DIR/fuzz.log"
else
  failed=$((failed + 1)); status=1; tail -n 40 "$LOG_DIR/fuzz.log"
fi

# How applications take the SDK in: an install in a temporary prefix with examples/ built out of
# tree against it (CMake package, pkg-config), and the Debian package with its contents checked.
echo "== package: install, out-of-tree examples, Debian package"
bash scripts/package-check.sh build/release all 2>&1 | tee "$LOG_DIR/package.log"
pkg_rc=${PIPESTATUS[0]}
pkg_pass=$(grep -c '^PASS ' "$LOG_DIR/package.log")
pkg_fail=$(grep -c '^FAIL ' "$LOG_DIR/package.log")
[ "$pkg_rc" -ne 0 ] && [ "$pkg_fail" -eq 0 ] && pkg_fail=1
[ "$pkg_rc" -eq 0 ] || status=1
passed=$((passed + pkg_pass))
failed=$((failed + pkg_fail))

# The Python module against the embedded virtual camera, run with Debian's interpreter: the
# python3 first on PATH may be another installation without NumPy.
echo "== python: pytest"
PYTHONPATH="$(pwd)/build/release/python" KX_SOURCE_DIR="$(pwd)" timeout 600 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests 2>&1 | tee "$LOG_DIR/python.log"
py_rc=${PIPESTATUS[0]}
summary=$(grep -E "^=*\s*[0-9]+ (passed|failed|errors?)" "$LOG_DIR/python.log" | tail -n 1)
py_pass=$(grep -oE "[0-9]+ passed" <<<"$summary" | grep -oE "[0-9]+" || true)
py_fail=$(grep -oE "[0-9]+ (failed|errors?)" <<<"$summary" | awk '{ n += $1 } END { print n + 0 }')
py_pass=${py_pass:-0}
py_fail=${py_fail:-0}
# Exit 1 is "some tests failed"; anything else but 0 (interrupted, internal error, nothing
# collected, a crash, the time limit) counts as one more failure.
if [ "$py_rc" -ne 0 ] && { [ "$py_rc" -ne 1 ] || [ "$py_fail" -eq 0 ]; }; then py_fail=$((py_fail + 1)); fi
[ "$py_rc" -eq 0 ] || status=1
passed=$((passed + py_pass))
failed=$((failed + py_fail))

# The Windows DLLs and programs, cross-built with MinGW-w64; their tests run under Wine.
echo "== windows: MinGW-w64 build, PE tables, tests under Wine"
timeout 900 bash scripts/windows-test.sh 2>&1 | tee "$LOG_DIR/windows.log"
win_rc=${PIPESTATUS[0]}
win_line=$(grep -E "^windows: [0-9]+ passed, [0-9]+ failed" "$LOG_DIR/windows.log" | tail -n 1)
win_pass=$(sed -nE 's/^windows: ([0-9]+) passed.*/\1/p' <<<"$win_line")
win_fail=$(sed -nE 's/^windows: [0-9]+ passed, ([0-9]+) failed.*/\1/p' <<<"$win_line")
win_pass=${win_pass:-0}
win_fail=${win_fail:-0}
[ "$win_rc" -ne 0 ] && [ "$win_fail" -eq 0 ] && win_fail=1
[ "$win_rc" -eq 0 ] || status=1
passed=$((passed + win_pass))
failed=$((failed + win_fail))

# Which tests failed, last, so that the tail of a CI log names them.
if [ "$failed" -gt 0 ] || [ "$status" -ne 0 ]; then
  echo "== failed"
  for log in "$LOG_DIR"/*.log; do
    grep -hE '^\s*[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Child aborted|Not Run)\)' "$log" \
      | sed -E "s/^\s*/$(basename "$log" .log): /"
    grep -hE '^(FAILED|ERROR) ' "$log" | sed -E "s/^/$(basename "$log" .log): /"
    grep -hE '^FAIL ' "$log" | sed -E "s/^/$(basename "$log" .log): /"
  done
fi
echo "tests: $passed passed, $failed failed"
exit $status
