#!/usr/bin/env bash
# Builds the SDK and runs the main job: kxeye scans the embedded virtual camera and leaves a PLY
# point cloud and a PNG height map in the output folder (out/ or the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
# Only what this job needs: the build tools and the libraries kxeye links (scripts/test.sh installs
# the rest), and only kxeye and the libraries it loads are built.
bash scripts/deps.sh main
cmake --preset release >/dev/null
cmake --build --preset release -j "${KX_JOBS:-2}" --target kxeye
OUT=${1:-out}
mkdir -p "$OUT"
# Local search only: the job never sends a search onto the host's networks.
./build/release/tools/kxeye/kxeye --source local scan 0 --frames "${KX_FRAMES:-300}" --out "$OUT"
echo
echo "Results in $(cd "$OUT" && pwd):"
echo "  point cloud: $OUT/scan.ply"
echo "  height map:  $OUT/scan.png"
