#!/usr/bin/env bash
# Builds the benchmarks with the bench preset (release, no tests), runs them with repetitions,
# writes their JSON into bench/results/ and the tables into docs/performance.md.
# Usage: scripts/bench.sh [repetitions]   (default 5; medians are reported)
# The machine is often shared: the load average at the start of each program goes into the
# report next to its figures.
set -euo pipefail
cd "$(dirname "$0")/.."
REPETITIONS="${1:-5}"
RESULTS=bench/results
cmake --preset bench >/dev/null
cmake --build build/bench -j2 --target bench_decode bench_resultblock bench_capture
mkdir -p "$RESULTS"
run() {
  local name="$1"; shift
  echo "== $name"
  "build/bench/bench/$name" --benchmark_repetitions="$REPETITIONS" \
    --benchmark_out="$RESULTS/$name.json" --benchmark_out_format=json "$@" \
    2>"build/bench/$name.log" | grep -E '_median|^-|^Benchmark' || true
}
run bench_decode --benchmark_min_time=0.2
run bench_resultblock --benchmark_min_time=0.2
run bench_capture
python3 bench/report.py "$RESULTS" docs/performance.md
echo "Tables written to docs/performance.md"
