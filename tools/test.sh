#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest.
# Starts its own X server (and print server) on numbers nothing else uses, and stops
# every process it started by PID; CTest's summary is the last thing it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests

work=$(mktemp -d /tmp/kelvaria-test.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A private X server; it picks a free display number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export KV_TEST_DISPLAY=":$(head -n 1 "$work/display")"

export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"

status=0
(cd build && ctest --output-on-failure -j"$(nproc)") || status=$?
exit $status
