#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest.
# Starts its own X server, with a window manager as on a desktop, and print server on
# numbers nothing else uses, and stops every process it started by PID; CTest's summary
# is the last thing it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests >/dev/null

source tools/servers.sh
start_servers kelvaria-test --window-manager

status=0
(cd build && ctest --output-on-failure -j"$(nproc)" "$@") || status=$?
exit $status
