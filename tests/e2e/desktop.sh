#!/usr/bin/env bash
# The program on a user's desktop: a figure or folder given on the command line (as a
# file manager's "Open with" gives it) opened as a user would open it; the signals a
# log-out or a terminal sends end it as its Cerrar button does, and the clipboard is
# handed to the desktop's clipboard manager. With the argument "wayland": the same
# program under a headless Wayland compositor instead of X. With "run": the README's
# run command on a machine without a display.
source "$(dirname "$0")/lib.sh"
shot() { kv_shot "$KV_TMP/$1.png"; [ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/$1.png" "$KV_SHOTS/desktop-$1.png"; true; }

prog="$KV_TMP/prog"
kv_program_folder "$prog"
mkdir "$prog/Equipos"
kv_figure "$prog/Equipos/figura.bmp" 300 200 1020e0 e01020
kv_figure "$prog/Equipos/antes.bmp" 120 90 20a040 101010
echo "no es una figura" >"$prog/Equipos/notas.txt"
echo "BM tampoco" >"$prog/Equipos/rota.bmp"
cd "$KV_TMP"

# The events the program ran (KV_TRACE_EVENTS), on one line.
events() { grep -E '^[A-Za-z0-9]+\.[A-Za-z]+$' "$KV_LOG" | paste -sd' ' || true; }

if [ "${1:-}" = run ]; then
    # The run command builds in the source's build folder: only that build is checked.
    [ "$(realpath "$KV_BUILD")" = "$(realpath "$KV_SOURCE/build")" ] ||
        { echo "the build folder is not $KV_SOURCE/build"; exit 77; }
    # run_alone OUTPUT ARGS...: the run command without a display, in a session of its
    # own; afterwards no process of that session may be left.
    run_alone() {
        local out=$1 pid
        shift
        env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM setsid "$KV_SOURCE/tools/run.sh" "$@" >"$out" 2>&1 &
        pid=$!
        KV_PIDS+=("$pid")
        kv_wait_exit "$pid" 120 || fail "the run command did not end"
        [ "$KV_STATUS" = 0 ] || { cat "$out"; fail "the run command ended with status $KV_STATUS"; }
        left=$(ps -e -o sid=,pid=,args= | awk -v s="$pid" '$1 == s' || true)
        [ -z "$left" ] || fail "processes left behind: $left"
    }
    # Shows the main window with a sample figure chosen: the path under the box, and a
    # picture in it.
    check_picture() {
        [ "$(identify -format %wx%h "$1")" = 406x397 ] || fail "$1 is not a picture of the main window"
        kv_has_text_in "$1" 185x17+184+296 || fail "no path under the box in $1"
        [ "$(convert "$1" -crop 189x216+186+98 +repage -format %k info:)" -gt 2 ] || fail "no figure in $1"
    }
    # Without a display, said plainly, and a picture in the build folder (one there
    # already is put back afterwards).
    default="$KV_SOURCE/build/kelvaria500.png"
    [ -e "$default" ] && cp -p "$default" "$KV_TMP/kept.png"
    restore() { if [ -e "$KV_TMP/kept.png" ]; then cp -p "$KV_TMP/kept.png" "$default"; else rm -f "$default"; fi; }
    rm -f "$default"
    run_alone "$KV_TMP/run.out"
    grep -q "There is no display here" "$KV_TMP/run.out" || { cat "$KV_TMP/run.out"; fail "no plain message"; }
    tail -n 1 "$KV_TMP/run.out" | grep -qF "Picture of the main window: $default" || fail "the picture's place is not told"
    cp "$default" "$KV_TMP/default.png" || { restore; fail "no picture at $default"; }
    restore
    check_picture "$KV_TMP/default.png"
    # Asked for, to a file of one's choice (relative to where the command is given).
    mkdir "$KV_TMP/aqui"
    (cd "$KV_TMP/aqui" && run_alone "$KV_TMP/shot.out" --screenshot ventana.png)
    grep -q "There is no display" "$KV_TMP/shot.out" && fail "the no-display message when a picture was asked for"
    check_picture "$KV_TMP/aqui/ventana.png"
    [ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/aqui/ventana.png" "$KV_SHOTS/run-screenshot.png"
    echo "ok: without a display the run command says so, writes a picture of the window and leaves nothing running"
    exit 0
fi

if [ "${1:-}" = wayland ]; then
    kv_start_weston

    # The window maps with its title, one top-level window (no message box), then SIGTERM.
    WAYLAND_DISPLAY=kelvaria QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 KV_TRACE_EVENTS=1 \
        kv_start "$prog/Kelvar500" "$prog/Equipos/figura.bmp"
    end=$((SECONDS + 10))
    until grep -q 'xdg_toplevel@[0-9]*\.set_title("Kelvaria 500")' "$KV_LOG"; do
        [ $SECONDS -lt $end ] && kill -0 "$KV_PID" 2>/dev/null || fail "no window titled Kelvaria 500 under Wayland"
        sleep 0.1
    done
    sleep 0.5
    # A dock matches the window to the desktop entry by its app id: the entry's name.
    entry=$(basename "$KV_SOURCE"/src/resources/linux/*.desktop .desktop)
    grep -q "xdg_toplevel@[0-9]*\.set_app_id(\"$entry\")" "$KV_LOG" ||
        fail "the app id is not $entry: $(grep -o 'set_app_id(.*)' "$KV_LOG")"
    [ "$(events)" = "Form1.Load Dir1.Change Dir1.Change File1.Click" ] || fail "events under Wayland: $(events)"
    [ "$(grep -c 'xdg_wm_base@[0-9]*\.get_xdg_surface' "$KV_LOG")" = 1 ] || fail "more than one window (a message?)"
    grep -q 'wl_display@1\.error' "$KV_LOG" && fail "a Wayland protocol error"
    kill -TERM "$KV_PID"
    kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program under Wayland"
    [ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after SIGTERM under Wayland"
    echo "ok: under Wayland the window maps titled Kelvaria 500 with the desktop entry's app id, opens the figure given, and SIGTERM ends it with status 0"
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

# Ended by a signal, the program leaves through Qt's own shutdown, which hands what it
# copied to the desktop's clipboard manager: the copied figure outlives the program.
copy_then_keep() {
    kv_start "$prog/Kelvar500" "$prog/Equipos/figura.bmp"
    win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
    read -r wx wy _ _ < <(kv_geometry "$win")
    sleep 0.3
    kv_click $((wx + 200)) $((wy + 368)) # Copia
    sleep 0.4
    "$KV_CLIPKEEPER" "$KV_TMP/kept.png" image/png "$@" >"$KV_TMP/keeper.out" 2>&1 &
    keeper=$!
    KV_PIDS+=("$keeper")
    for _ in $(seq 50); do grep -q ready "$KV_TMP/keeper.out" && break; sleep 0.1; done
    grep -q ready "$KV_TMP/keeper.out" || fail "the clipboard manager did not start"
}
copy_then_keep
kill -TERM "$KV_PID"
kv_wait_exit "$KV_PID" 8 || fail "SIGTERM did not end the program"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after SIGTERM"
kv_wait_exit "$keeper" 2 || fail "the clipboard manager was not asked to keep the clipboard"
[ "$KV_STATUS" = 0 ] || fail "the clipboard manager got nothing"
[ "$(compare -metric AE "$prog/Equipos/figura.bmp" "$KV_TMP/kept.png" null: 2>&1)" = 0 ] ||
    fail "the clipboard manager kept other pixels than the figure's"
# A manager that never answers keeps Qt waiting as it leaves: a second Ctrl+C ends the
# program at once.
copy_then_keep --silent
kill -INT "$KV_PID"
sleep 1
kill -0 "$KV_PID" 2>/dev/null || fail "the program did not wait for the clipboard manager"
kill -INT "$KV_PID"
kv_wait_exit "$KV_PID" 1 || fail "a second SIGINT did not end the program at once"
[ "$KV_STATUS" = 130 ] || fail "exit status $KV_STATUS after a second SIGINT"
kill "$keeper"
echo "ok: after SIGTERM the clipboard manager keeps the copied figure; a second SIGINT ends the program at once"

# A figure on the command line, after Qt's own options: the usual start, then the lists
# go to its folder and the file list chooses it as a click does.
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500" -platform xcb -style fusion "$prog/Equipos/figura.bmp"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear with a file argument"
read -r wx wy ww wh < <(kv_geometry "$win")
[ "$ww $wh" = "406 397" ] || fail "the first window is not the main window (${ww}x$wh)"
sleep 0.3
shot argument
[ "$(events)" = "Form1.Load Dir1.Change Dir1.Change File1.Click" ] || fail "events: $(events)"
px() { kv_pixel "$KV_TMP/$1.png" $((wx + $2)) $((wy + $3)); }
[ "$(px argument 186 98)" = e01020 ] && [ "$(px argument 196 108)" = 1020e0 ] || fail "the figure is not shown"
kv_has_text_in "$KV_TMP/argument.png" "185x17+$((wx + 184))+$((wy + 296))" || fail "no path under the box"
# The chosen file is the highlighted row: the second (antes.bmp comes first). Rows are
# 15 pixels high from the list's inner top (288 + 2).
# (The list with the focus shades its highlight slightly: a colour within 4 per channel.)
row_colour() { px argument 100 $((288 + 2 + 15 * $1 + 7)); }
near() { local a=$1 b=$2 i; for i in 0 2 4; do
    [ $(( (16#${a:i:2} - 16#${b:i:2}) ** 2 )) -le 16 ] || return 1; done; }
near "$(row_colour 1)" 308cc6 && [ "$(row_colour 0) $(row_colour 2)" = "ffffff ffffff" ] ||
    fail "highlighted rows: $(row_colour 0) $(row_colour 1) $(row_colour 2)"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"

# The same folder given as an argument, then a user's click on the figure: the same
# window, pixel for pixel, as the start with the figure's name.
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500" "$prog/Equipos"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear with a folder argument"
sleep 0.3
shot folder
[ "$(events)" = "Form1.Load Dir1.Change Dir1.Change" ] || fail "events with a folder: $(events)"
kv_has_text_in "$KV_TMP/folder.png" "185x17+$((wx + 184))+$((wy + 296))" && fail "a path with a folder argument"
kv_click $((wx + 70)) $((wy + 288 + 2 + 15 + 7))
sleep 0.5
shot clicked
[ "$(events)" = "Form1.Load Dir1.Change Dir1.Change File1.Click" ] || fail "events after the click: $(events)"
client() { convert "$KV_TMP/$1.png" -crop "406x397+$wx+$wy" +repage "$KV_TMP/$1-client.png"; }
client argument
client clicked
differ=$(compare -metric AE "$KV_TMP/argument-client.png" "$KV_TMP/clicked-client.png" null: 2>&1 || true)
[ "$differ" = 0 ] || fail "$differ pixels differ between the start with the figure and a click on it"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"
echo "ok: a figure argument is chosen as a click chooses it; a folder argument opens the folder"

# A file the file list does not show (not *.bmp): its folder, no file chosen, no message.
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500" "$prog/Equipos/notas.txt"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear with a text file argument"
sleep 0.5
[ "$(events)" = "Form1.Load Dir1.Change Dir1.Change" ] || fail "events with a text file: $(events)"
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message for a file the list does not show"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"

# A *.bmp name that is no picture: chosen, its message, and the program goes on.
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500" "$prog/Equipos/rota.bmp"
win=$(kv_wait_window "Kelvaria 500") || fail "no window with a broken figure argument"
shot broken
kv_expect_message "$win" 481 10 || fail "no message for a figure that is no picture"
[ "$(events)" = "Form1.Load Dir1.Change Dir1.Change File1.Click" ] || fail "events with a broken figure: $(events)"
kv_click $((wx + 70)) $((wy + 288 + 2 + 7)) # antes.bmp: the program goes on
sleep 0.4
shot after-broken
[ "$(px after-broken 186 98)" = 101010 ] || fail "the program did not go on after the message"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"
echo "ok: a file the list does not show opens its folder; a broken figure gives its message and the program goes on"

# A missing argument: the message first, then the usual start on the program's folder.
# A signal while that message is up ends the program as End does.
accept_message() {
    local box
    box=$(kv_wait_window "Kelvaria 500") || fail "no message for $1"
    read -r _ _ bw bh < <(kv_geometry "$box")
    [ "$bw $bh" != "406 397" ] || fail "the main window came before the message for $1"
    [ -z "$(events)" ] || fail "events before the message for $1: $(events)"
    shot "message-$2"
    for _ in 1 2 3 4 5; do
        xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
        sleep 0.3
        win=$(xdotool search --onlyvisible --name "^Kelvaria 500\$" | head -n 1)
        [ -n "$win" ] && [ "$win" != "$box" ] && break
    done
    [ -n "$win" ] && [ "$win" != "$box" ] || fail "no main window after the message for $1"
    sleep 0.3
    [ "$(events)" = "Form1.Load Dir1.Change" ] || fail "not the usual start after $1: $(events)"
    "$KV_XCLOSE" "$win"
    kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"
}
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500" "$prog/Equipos/no-existe.bmp"
accept_message "a missing file" missing
kv_start "$prog/Kelvar500" "$prog/Equipos/no-existe.bmp"
kv_wait_window "Kelvaria 500" >/dev/null || fail "no message for a missing file"
kill -TERM "$KV_PID"
kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program while its message was up"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after SIGTERM while the message was up"
[ "$(kv_windows "Kelvaria 500")" = 0 ] || fail "a window is left"
# A figure that cannot be read, for a user who may not read it.
chmod 0711 "$KV_TMP"
chmod 0600 "$prog/Equipos/figura.bmp"
KV_TRACE_EVENTS=1 kv_start setpriv --reuid=65534 --regid=65534 --clear-groups env XDG_RUNTIME_DIR= \
    "$prog/Kelvar500" "$prog/Equipos/figura.bmp"
accept_message "an unreadable file" unreadable
chmod 0644 "$prog/Equipos/figura.bmp"
echo "ok: a missing or unreadable argument gives the message, then the usual start; SIGTERM ends it meanwhile"
