#!/usr/bin/env bash
# The program on a user's desktop: the signals a log-out or a terminal sends end it as
# its Cerrar button does. With the argument "wayland": the same program under a headless
# Wayland compositor instead of X.
source "$(dirname "$0")/lib.sh"

prog="$KV_TMP/prog"
kv_program_folder "$prog"
mkdir "$prog/Equipos"
kv_figure "$prog/Equipos/figura.bmp" 300 200 1020e0 e01020
cd "$KV_TMP"

if [ "${1:-}" = wayland ]; then
    command -v weston >/dev/null || { echo "weston is not installed"; exit 77; }
    ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
        { echo "Qt's Wayland plugin (qt6-wayland) is not installed"; exit 77; }
    unset DISPLAY
    weston --backend=headless-backend.so --socket=kelvaria --idle-time=0 >"$KV_TMP/weston.log" 2>&1 &
    KV_PIDS+=($!)
    weston_pid=$!
    for _ in $(seq 100); do
        [ -S "$XDG_RUNTIME_DIR/kelvaria" ] && break
        kill -0 "$weston_pid" 2>/dev/null || { cat "$KV_TMP/weston.log"; fail "weston did not start"; }
        sleep 0.05
    done
    [ -S "$XDG_RUNTIME_DIR/kelvaria" ] || fail "no Wayland socket"

    # The window maps with its title, one top-level window (no message box), then SIGTERM.
    WAYLAND_DISPLAY=kelvaria QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 KV_TRACE_EVENTS=1 \
        kv_start "$prog/Kelvar500"
    end=$((SECONDS + 10))
    until grep -q 'xdg_toplevel@[0-9]*\.set_title("Kelvaria 500")' "$KV_LOG"; do
        [ $SECONDS -lt $end ] && kill -0 "$KV_PID" 2>/dev/null || fail "no window titled Kelvaria 500 under Wayland"
        sleep 0.1
    done
    sleep 0.5
    grep -q 'Form1.Load' "$KV_LOG" || fail "the main window did not load"
    [ "$(grep -c 'xdg_wm_base@[0-9]*\.get_xdg_surface' "$KV_LOG")" = 1 ] || fail "more than one window (a message?)"
    grep -q 'wl_display@1\.error' "$KV_LOG" && fail "a Wayland protocol error"
    kill -TERM "$KV_PID"
    kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program under Wayland"
    [ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after SIGTERM under Wayland"
    echo "ok: under Wayland the window maps titled Kelvaria 500 and SIGTERM ends the program with status 0"
    exit 0
fi

# SIGTERM (a desktop's log-out) and SIGINT (Ctrl+C in a terminal) end the program as
# Cerrar does: its window goes and it leaves with status 0, through Qt's own shutdown.
for sig in TERM INT; do
    kv_start "$prog/Kelvar500"
    win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
    sleep 0.3
    kill -"$sig" "$KV_PID"
    kv_wait_exit "$KV_PID" 5 || fail "SIG$sig did not end the program"
    [ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after SIG$sig"
    [ "$(kv_windows "Kelvaria 500")" = 0 ] || fail "a window is left after SIG$sig"
done
echo "ok: SIGTERM and SIGINT end the program with status 0"
