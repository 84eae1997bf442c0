#!/usr/bin/env bash
# Builds and runs every benchmark; each prints ours beside its floor, the ratio and the target.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --build build --target bench_bmp -j"$(nproc)" >/dev/null
echo "== LoadPicture on bitmaps (median, warm file cache) =="
QT_QPA_PLATFORM=offscreen build/bin/bench_bmp
