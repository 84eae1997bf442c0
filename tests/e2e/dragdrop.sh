#!/usr/bin/env bash
# Figures given and taken by dragging, between the program and another on the desktop,
# under the window manager, as a hand drags: a file that is not a figure is refused as
# the pointer comes (the other program hears that nothing was done); a figure dropped
# opens as one named on the command line does; a row of the file list and the picture
# dragged out give the file and the picture, and change nothing in the window.
source "$(dirname "$0")/lib.sh"

prog="$KV_TMP/prog"
other="$KV_TMP/Otra carpeta"
kv_program_folder "$prog"
mkdir -p "$prog/Equipos" "$other" "$KV_TMP/got"
kv_figure "$prog/Equipos/a.bmp" 60 60 2080e0 101010
kv_figure "$other/cañón.bmp" 60 60 e0a020 101010
kv_figure "$other/dos.bmp" 60 60 20e0a0 101010
echo hola >"$other/notas.txt"
other_uri="file://$KV_TMP/Otra%20carpeta"

cd "$KV_TMP"
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500"
main=$KV_LOG
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.3
events() { grep -E '^[A-Za-z0-9]+\.[A-Za-z]+$' "$main" | tr '\n' ' ' | sed 's/ $//'; }
picture() { kv_shot "$KV_TMP/s.png"; kv_pixel "$KV_TMP/s.png" $((wx + 186 + 30)) $((wy + 98 + 30)); }

# kv_drag X0 Y0 X1 Y1: presses at one point and moves, step by step, to the other.
kv_drag() {
    xdotool mousemove "$1" "$2" sleep 0.3 mousedown 1
    local i
    for i in $(seq 1 30); do
        xdotool mousemove $(($1 + ($3 - $1) * i / 30)) $(($2 + ($4 - $2) * i / 30)) sleep 0.05
    done
    xdotool mousemove $(($3 + 2)) $(($4 + 2)) sleep 0.5 mouseup 1
    sleep 0.8
}

# source URI...: the other program, a window to drag these files from, at 720,100.
source_of() {
    kv_start "$KV_DNDPEER" source "$@"
    local id
    id=$(kv_wait_window kv-source) || fail "the drag source did not appear"
    xdotool windowmove --sync "$id" 720 100
    sleep 0.3
    SOURCE_LOG=$KV_LOG SOURCE_PID=$KV_PID SOURCE_WIN=$id
}
# The picture box's middle on the screen.
box_x=$((wx + 184 + 96)) box_y=$((wy + 96 + 96))

# A file that is not a figure: refused, nothing opens, no message.
source_of "$other_uri/notas.txt"
kv_drag 800 160 "$box_x" "$box_y"
grep -qx 'action 0' "$SOURCE_LOG" || fail "a text file was taken: $(cat "$SOURCE_LOG")"
[ "$(events)" = "Form1.Load Dir1.Change" ] || fail "events after a refused drop: $(events)"
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message came for a refused drop"
kill "$SOURCE_PID"
echo "ok: a file that is not a figure is refused at the drop"

# A figure in another folder: copied (never moved), its folder opened, it chosen and shown.
source_of "$other_uri/ca%C3%B1%C3%B3n.bmp"
kv_drag 800 160 "$box_x" "$box_y"
grep -qx 'action 1' "$SOURCE_LOG" || fail "the figure was not taken as a copy: $(cat "$SOURCE_LOG")"
sleep 0.5
[ "$(events)" = "Form1.Load Dir1.Change Form1.OLEDragDrop Dir1.Change File1.Click" ] ||
    fail "events after a dropped figure: $(events)"
[ "$(picture)" = e0a020 ] || fail "the dropped figure is not shown ($(picture))"
[ -f "$other/cañón.bmp" ] || fail "the dropped figure was moved away"
kill "$SOURCE_PID"
echo "ok: a figure dropped from another program opens its folder and is shown"

# Out: the second row of the file list (dos.bmp, not the chosen one), then the picture,
# dragged onto a program that takes anything.
kv_start "$KV_DNDPEER" target "$KV_TMP/got"
target_log=$KV_LOG
tid=$(kv_wait_window kv-target) || fail "the drop target did not appear"
xdotool windowmove --sync "$tid" 720 400
sleep 0.3
kv_drag $((wx + 40 + 30)) $((wy + 288 + 2 + 7 + 15)) 800 460
grep -qx dropped "$target_log" || fail "nothing was dropped from the file list"
[ "$(tr -d '\r\n' <"$KV_TMP/got/uri-list.txt")" = "$other_uri/dos.bmp" ] ||
    fail "the row gave $(cat "$KV_TMP/got/uri-list.txt")"
[ "$(cat "$KV_TMP/got/text.txt")" = "$other/dos.bmp" ] || fail "the row's text: $(cat "$KV_TMP/got/text.txt")"
[ "$(picture)" = e0a020 ] && [ "$(grep -c 'File1.Click' "$main")" = 1 ] ||
    fail "dragging a row changed the figure shown: $(events)"
echo "ok: a row dragged out gives its file and chooses nothing"

rm -f "$KV_TMP"/got/*
kv_drag "$box_x" "$box_y" 800 460
grep -c dropped "$target_log" | grep -qx 2 || fail "nothing was dropped from the picture box"
grep -qx image/png "$KV_TMP/got/formats.txt" || fail "no PNG among $(cat "$KV_TMP/got/formats.txt")"
[ "$(identify -format '%wx%h' "$KV_TMP/got/image.png")" = 60x60 ] || fail "the PNG is not the figure"
[ "$(kv_pixel "$KV_TMP/got/image.png" 30 30)" = e0a020 ] && [ "$(kv_pixel "$KV_TMP/got/image.png" 5 5)" = 101010 ] ||
    fail "the PNG's pixels are not the figure's"
[ "$(tr -d '\r\n' <"$KV_TMP/got/uri-list.txt")" = "$other_uri/ca%C3%B1%C3%B3n.bmp" ] ||
    fail "the picture gave $(cat "$KV_TMP/got/uri-list.txt")"
[ "$(picture)" = e0a020 ] && [ "$(grep -c 'File1.Click' "$main")" = 1 ] ||
    fail "dragging the picture changed the figure shown: $(events)"
echo "ok: the picture dragged out gives its PNG and its file"
