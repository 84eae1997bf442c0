#!/usr/bin/env bash
# What a screen reader finds in the program, through a real AT-SPI client on a private
# session bus: the main window's tree (roles, names, labels, the folder list as a tree),
# and the picture box and path renamed as figures are chosen by keyboard (what Orca
# itself hears along the keyboard path is the test orca.sh). With the argument
# "wayland": the tree under a headless Wayland compositor.
if [ -z "${KV_SESSION_BUS:-}" ]; then
    command -v dbus-run-session >/dev/null || { echo "dbus-run-session is not installed"; exit 77; }
    KV_SESSION_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"
client="/usr/bin/python3 $(dirname "$0")/atspi_client.py"

# The accessibility bus of this session; without it no screen reader can listen.
[ -x "$KV_ATSPI_LAUNCHER" ] || { echo "at-spi2-core is not installed"; exit 77; }
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || { echo "python3-pyatspi is not installed"; exit 77; }
kv_start_accessibility_bus
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

prog="$KV_TMP/prog"
kv_program_folder "$prog"
# The figure lies deep enough, under a long enough name, that its path is cut short on
# screen: the screen reader still reads it whole.
deep="$prog/Equipos/una carpeta de figuras con un nombre largo"
mkdir -p "$deep" "$prog/Conexiones"
kv_figure "$deep/monitor.bmp" 40 30 ff0000 0000ff
kv_figure "$prog/Conexiones/cable.bmp" 40 30 00ff00 0000ff
kv_figure "$prog/Conexiones/Red.Bmp" 40 30 0000ff ff0000

if [ "${1:-}" = wayland ]; then
    kv_start_weston
    WAYLAND_DISPLAY=kelvaria QT_QPA_PLATFORM=wayland kv_start "$prog/Kelvar500" "$deep/monitor.bmp"
    $client tree "$deep/monitor.bmp" || fail "the tree under Wayland"
    kill -TERM "$KV_PID"
    kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program"
    exit 0
fi

kv_start "$prog/Kelvar500" "$deep/monitor.bmp"
$client tree "$deep/monitor.bmp" --keyboard || fail "the tree"
kill -TERM "$KV_PID"
kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program"

kv_start "$prog/Kelvar500"
kv_wait_window "Kelvaria 500" >/dev/null || fail "no main window"
$client keys "$prog/Conexiones" || fail "the keyboard session"
kill -TERM "$KV_PID"
kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program"
