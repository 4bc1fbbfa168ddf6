#!/usr/bin/env bash
# Builds the SDK and runs the main job against the embedded virtual camera.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "${KX_JOBS:-2}"
OUT=${1:-out}
mkdir -p "$OUT"
./build/release/examples/kernel_tour "$OUT"
