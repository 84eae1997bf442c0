#!/usr/bin/env bash
# As a user would: start the real program in a program folder with a category,
# double-click the category, click the figure; the picture box shows the file's top-left
# pixels from its inner corner, clipped, and the path is drawn under it.
source "$(dirname "$0")/lib.sh"

prog="$KV_TMP/prog"
kv_program_folder "$prog"
mkdir "$prog/Equipos" "$prog/Vacia"
kv_figure "$prog/Equipos/figura.bmp" 300 300 1020e0 e01020

cd "$KV_TMP"
kv_start "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.3
kv_shot "$KV_TMP/start.png"

# The folder list (40,152 in the window) highlights the program folder; the category
# is the row under it.
col=$((wx + 40 + 40))
top=$(kv_first_row_with "$KV_TMP/start.png" "$col" $((wy + 154)) 92 308cc6)
[ -n "$top" ] || fail "no highlighted folder in the folder list"
kv_click "$col" $((top + 15 + 7)) 2
sleep 0.4

# The file list (40,288) now holds the figure: one click on its row.
kv_click $((wx + 40 + 30)) $((wy + 288 + 2 + 7))
sleep 0.5
kv_shot "$KV_TMP/shown.png"
[ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/shown.png" "$KV_SHOTS/browse.png"

# Picture box at 184,96, edge 2: the picture's corner at 186,98, unscaled.
px() { kv_pixel "$KV_TMP/shown.png" $((wx + $1)) $((wy + $2)); }
[ "$(px 186 98)" = e01020 ] || fail "picture's first pixel not at the box's inner corner ($(px 186 98))"
[ "$(px 195 107)" = e01020 ] || fail "picture scaled: corner block not 10 pixels ($(px 195 107))"
[ "$(px 196 108)" = 1020e0 ] || fail "picture scaled: corner block larger than 10 pixels"
[ "$(px 366 286)" = 1020e0 ] || fail "picture does not reach the box's inner edge"
[ "$(px 184 96)" != 1020e0 ] && [ "$(px 376 288)" != 1020e0 ] || fail "picture drawn over the box's edge"
# The path, in light blue, under the box (Label1 at 184,296, 185 x 17).
kv_has_colour "$KV_TMP/shown.png" "185x17+$((wx + 184))+$((wy + 296))" 8080ff || fail "no path drawn under the box"

echo "ok: category opened with a double-click, figure shown clipped from the box's corner, path drawn"
