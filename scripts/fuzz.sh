#!/usr/bin/env bash
# Builds the fuzz targets with the fuzz preset (clang, libFuzzer, ASan, UBSan) and runs each for
# a bounded time: the point decoder for the given seconds, each wire parser of the Ethernet path
# for the second number of seconds, and so each parser of stored data and configuration (the
# parameter page, the virtual camera's JSON) and the camera's request handler. Usage: scripts/fuzz.sh [decoder seconds] [seconds per parser]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-20}"
WIRE_SECONDS="${2:-5}"
WIRE_TARGETS="fuzz_wire_request fuzz_wire_reply fuzz_wire_resend fuzz_wire_stream"
DATA_TARGETS="fuzz_param_page fuzz_camera_config"
HANDLER_TARGETS="fuzz_emulator_request"
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzz_decode $WIRE_TARGETS $DATA_TARGETS $HANDLER_TARGETS -j2
ARTIFACTS=build/fuzz/artifacts/
mkdir -p build/fuzz/corpus/decode "$ARTIFACTS"
build/fuzz/fuzz/fuzz_decode -max_total_time="$SECONDS_TO_RUN" -max_len=40000 -rss_limit_mb=2048 \
  -artifact_prefix="$ARTIFACTS" -print_final_stats=1 build/fuzz/corpus/decode
for target in $WIRE_TARGETS; do
  corpus="build/fuzz/corpus/${target#fuzz_}"
  mkdir -p "$corpus"
  "build/fuzz/fuzz/$target" -max_total_time="$WIRE_SECONDS" -max_len=2048 -rss_limit_mb=2048 \
    -artifact_prefix="$ARTIFACTS" -print_final_stats=1 "$corpus"
done
for target in $DATA_TARGETS; do
  corpus="build/fuzz/corpus/${target#fuzz_}"
  mkdir -p "$corpus"
  # Seeds: the examples of the docs' own cases (fuzz/seeds/), so the runs start from valid input.
  seeds="fuzz/seeds/${target#fuzz_}"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  "build/fuzz/fuzz/$target" -max_total_time="$WIRE_SECONDS" -max_len=4096 -rss_limit_mb=2048 \
    -artifact_prefix="$ARTIFACTS" -print_final_stats=1 "$corpus"
done
for target in $HANDLER_TARGETS; do
  corpus="build/fuzz/corpus/${target#fuzz_}"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/${target#fuzz_}"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  "build/fuzz/fuzz/$target" -max_total_time="$WIRE_SECONDS" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="$ARTIFACTS" -print_final_stats=1 "$corpus"
done
