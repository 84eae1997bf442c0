#!/usr/bin/env bash
# Fuzzes the bitmap reader with libFuzzer (clang, AddressSanitizer and UBSan).
#   tools/fuzz.sh [SECONDS]      (default 600)
# Seeds: every file the reader's tests decode, and the program's own bitmaps and icons.
# Findings land in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
tools/setup.sh --tests
missing=()
for p in clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKV_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz_bmp -j"$(nproc)"
corpus=build-fuzz/corpus
mkdir -p "$corpus" build-fuzz/findings
KV_BMP_SEEDS="$PWD/$corpus" QT_QPA_PLATFORM=offscreen build/bin/test_bmp_reader >/dev/null
find src/resources \( -iname '*.bmp' -o -iname '*.ico' \) -exec cp {} "$corpus/" \;
build-fuzz/bin/fuzz_bmp -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix=build-fuzz/findings/ -print_final_stats=1 "$corpus"
