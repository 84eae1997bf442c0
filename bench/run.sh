#!/usr/bin/env bash
# Builds and runs every benchmark. Each prints ours beside its floor measured in the
# same run, the ratio and the target. Uses the test command's private X and print
# servers, so the print figure goes through a real print queue.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests >/dev/null
cmake --build build --target bench_bmp bench_program minimal_window xmaptime -j"$(nproc)" >/dev/null
source tools/servers.sh
start_servers kelvaria-bench

echo "== LoadPicture on bitmaps against its floors, and Qt's reader (medians, warm file cache) =="
QT_QPA_PLATFORM=offscreen build/bin/bench_bmp 2>/dev/null

echo
echo "== The program: big folders, click to picture, print, memory =="
QT_QPA_PLATFORM=offscreen build/bin/bench_program 2>/dev/null

echo
echo "== Start-up: process start to the main window mapped, lists filled (median of 20) =="
export DISPLAY="$KV_TEST_DISPLAY"
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ours=$(for _ in $(seq 20); do build/bin/xmaptime "Kelvaria 500" build/bin/Kelvar500; done 2>/dev/null | median)
floor=$(for _ in $(seq 20); do build/bin/xmaptime minimal build/bin/minimal_window; done 2>/dev/null | median)
label=$(for _ in $(seq 20); do build/bin/xmaptime minimal build/bin/minimal_window --label; done 2>/dev/null | median)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a/b}'; }
printf "%-34s %10s %10s %7s  %-3s %s\n" "figure" "ours" "floor" "ratio" "" "target"
printf "%-34s %10.1f %10.1f %7s  %-3s %s\n" "start-up to window mapped" "$ours" "$floor" "$(ratio "$ours" "$floor")" \
    ms "<= 1.5x (a minimal Qt window)"
printf "%-34s %10.1f %10.1f %7s  %-3s %s\n" "  against a window with a label" "$ours" "$label" "$(ratio "$ours" "$label")" \
    ms "(for comparison: the font system started too)"
