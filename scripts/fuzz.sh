#!/usr/bin/env bash
# Builds the point-decoding fuzz target with the fuzz preset (clang, libFuzzer, ASan, UBSan)
# and runs it for a bounded time. Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-20}"
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzz_decode -j2
CORPUS=build/fuzz/corpus/decode
ARTIFACTS=build/fuzz/artifacts/
mkdir -p "$CORPUS" "$ARTIFACTS"
build/fuzz/fuzz/fuzz_decode -max_total_time="$SECONDS_TO_RUN" -max_len=40000 -rss_limit_mb=2048 \
  -artifact_prefix="$ARTIFACTS" -print_final_stats=1 "$CORPUS"
