#!/usr/bin/env bash
# Takes the README's picture of the main window (docs/main-window.png, or the file
# given) as a user sees it on a desktop: in the frame of a window manager (openbox),
# with a sample figure opened from a home folder as a file manager opens it. Runs as
# root: that home folder is a private /home, in a mount namespace of its own, so the
# machine's own /home is not touched. Everything started is stopped by PID.
set -euo pipefail
out=$(realpath -m -- "${1:-$(dirname "$0")/../docs/main-window.png}")
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "tools/readme-shot.sh runs as root (a private /home of its own)" >&2; exit 1; }
tools/setup.sh --docs >/dev/null

source tools/servers.sh
start_display kelvaria-shot --window-manager
export DISPLAY="$KV_TEST_DISPLAY"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# Ana's figures in her home folder; the program opens one of them.
program_folder=$PWD/build/bin
(private_mounts sh -c '
    mount -t tmpfs -o mode=0755 kelvaria-home /home &&
    mkdir -p /home/ana/Figuras &&
    cp -r "$1"/Conexiones "$1"/Diagramas "$1"/Equipos /home/ana/Figuras/ &&
    cd /home/ana && HOME=/home/ana exec "$1"/Kelvar500 /home/ana/Figuras/Equipos/monitor.bmp' \
    sh "$program_folder") >"$work/program.log" 2>&1 &
program=$!
pids=("$program" "${pids[@]}")

win=""
for _ in $(seq 100); do
    win=$(xwininfo -root -tree 2>/dev/null | awk '/"Kelvaria 500": \("Kelvar500"/ {print $1; exit}' || true)
    [ -n "$win" ] && xwininfo -id "$win" 2>/dev/null | grep -q IsViewable && break
    win=""
    sleep 0.1
done
[ -n "$win" ] || { echo "The program did not show its window:"; cat "$work/program.log"; exit 1; }
# In front and active, as the window one works in (through the window manager).
xdotool windowactivate --sync "$win" >/dev/null 2>&1 || true
# The frame: the window manager's window that holds the program's, under the root.
root=$(xwininfo -root | awk '/Window id:/ {print $4}')
frame=$win
while :; do
    parent=$(xwininfo -children -id "$frame" | awk '/Parent window id:/ {print $4}')
    [ "$parent" = "$root" ] && break
    frame=$parent
done
sleep 0.7 # painted, frame included
import -window root -crop "$(xwininfo -id "$frame" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
    /Width:/{w=$NF} /Height:/{h=$NF} END{printf "%dx%d+%d+%d", w, h, x, y}')" +repage "$out"
kill -TERM "$program"
wait "$program" || true
echo "$out"
