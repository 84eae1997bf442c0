#!/usr/bin/env bash
# Builds the unit and widget tests with AddressSanitizer in build-asan/ and runs them
# with its leak checker, without suppressions: any leak or memory error fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests >/dev/null
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=address -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address" >/dev/null
tests=(test_frame test_main_window test_browsing test_windows test_commands test_bmp_reader)
cmake --build build-asan -j"$(nproc)" --target "${tests[@]}" >/dev/null
export QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1
export XDG_RUNTIME_DIR=$(mktemp -d /tmp/kv-leak.XXXXXX)
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
failed=0
for t in "${tests[@]}"; do
    if build-asan/bin/"$t" >"$XDG_RUNTIME_DIR/$t.log" 2>&1; then
        echo "$t: no leak, no memory error ($(grep Totals "$XDG_RUNTIME_DIR/$t.log"))"
    else
        echo "$t: FAILED"; grep -A12 -E 'ERROR|leak of' "$XDG_RUNTIME_DIR/$t.log" | head -40
        failed=1
    fi
done
exit $failed
