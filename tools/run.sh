#!/usr/bin/env bash
# Installs what is missing, builds, and starts the viewer from its program folder.
#   tools/run.sh                       on the desktop (DISPLAY or WAYLAND_DISPLAY set)
#   tools/run.sh --screenshot FILE.png a picture of the main window instead, taken on a
#                                      private virtual display with a sample figure open
# Without a display the first form says so and takes that picture, build/kelvaria500.png.
set -euo pipefail

usage() {
    echo "usage: tools/run.sh [--screenshot FILE.png]" >&2
    exit 2
}
shot=""
case $# in
0) ;;
2) [ "$1" = --screenshot ] || usage
   shot=$(realpath -m -- "$2") ;; # from where the command was given
*) usage ;;
esac
cd "$(dirname "$0")/.."

no_display=""
if [ -z "$shot" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    no_display=yes
    shot=$PWD/build/kelvaria500.png
fi

if [ -z "$shot" ]; then
    tools/setup.sh
    exec build/bin/Kelvar500
fi

tools/setup.sh --screenshot
if [ -n "$no_display" ]; then
    cat <<'TEXT'

There is no display here: neither DISPLAY nor WAYLAND_DISPLAY is set, so the viewer
cannot open its window. Run tools/run.sh in a terminal of a desktop session (X11 or
Wayland), or through "ssh -X" from one. Meanwhile, here is a picture of the program,
taken on a private virtual display (tools/run.sh --screenshot FILE.png takes another).
TEXT
fi
# A private X server (stopped on exit, as everything started here) and the program on
# it, opening a sample figure given on its command line.
source tools/servers.sh
start_display kelvaria-run
export DISPLAY="$KV_TEST_DISPLAY"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

build/bin/Kelvar500 "$PWD/build/bin/Equipos/monitor.bmp" >"$work/program.log" 2>&1 &
program=$!
pids=("$program" "${pids[@]}") # the program goes before its display
win=""
for _ in $(seq 100); do
    # The program's own window of that name (Qt names a hidden 1 x 1 window so too).
    win=$(xwininfo -root -tree 2>/dev/null | awk '/"Kelvaria 500": \("Kelvar500"/ {print $1; exit}' || true)
    [ -n "$win" ] && xwininfo -id "$win" 2>/dev/null | grep -q IsViewable && break
    win=""
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
[ -n "$win" ] || { echo "The program did not show its window:"; cat "$work/program.log"; exit 1; }
sleep 0.5 # painted
mkdir -p "$(dirname "$shot")"
import -window "$win" "$shot"
kill -TERM "$program" # ends as its Cerrar button does
wait "$program" || { echo "The program ended with status $?:"; cat "$work/program.log"; exit 1; }
echo "Picture of the main window: $shot"
