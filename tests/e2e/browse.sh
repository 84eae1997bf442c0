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
kv_has_text_in "$KV_TMP/shown.png" "185x17+$((wx + 184))+$((wy + 296))" || fail "no path drawn under the box"

echo "ok: category opened with a double-click, figure shown clipped from the box's corner, path drawn"

# The keyboard alone, as the window manager hands it to the window: Tab into the folder
# list, open a category with Enter, Tab into the file list; while no figure is chosen
# the first key chooses one — in a one-figure folder (Down) and a three-figure folder
# (Home, then Space), and from then on the keys move as usual.
mkdir "$prog/Tres"
kv_figure "$prog/Tres/a.bmp" 60 60 2080e0 101010
kv_figure "$prog/Tres/b.bmp" 60 60 e0a020 101010
kv_figure "$prog/Tres/c.bmp" 60 60 20e0a0 101010
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end"
kv_start "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear again"
sleep 0.4
keys() { xdotool key --delay 80 "$@"; sleep 0.4; }
shown() { kv_shot "$KV_TMP/k.png"; kv_pixel "$KV_TMP/k.png" $((wx + 186 + 30)) $((wy + 98 + 30)); }
files=(Tab Tab Tab)         # folder list to file list: drive list, Cerrar, file list
folders=(shift+Tab shift+Tab shift+Tab)
keys Tab Down Return "${files[@]}" Down # Equipos holds one figure
[ "$(shown)" = 1020e0 ] || fail "Down in a fresh one-figure list chose nothing ($(shown))"
keys "${folders[@]}" Up Return Down Down Return "${files[@]}" Home # up to the program folder, into Tres
[ "$(shown)" = 2080e0 ] || fail "Home in a fresh list did not choose the first figure ($(shown))"
keys Down
[ "$(shown)" = e0a020 ] || fail "Down after the first choice did not move to the second figure"
keys "${folders[@]}" Up Return Down Return "${files[@]}" space # Equipos again, then Space
[ "$(shown)" = 1020e0 ] || fail "Space in a fresh list chose nothing ($(shown))"
keys "${folders[@]}" Up Return Down Down Return "${files[@]}" space # Tres again
[ "$(shown)" = 2080e0 ] || fail "Space in a fresh three-figure list did not choose the first ($(shown))"
echo "ok: Tab and the keys alone open categories and choose the first figure of a fresh list"

# Ctrl+click on the chosen file leaves it chosen: same path, same picture, no message.
cp "$KV_TMP/k.png" "$KV_TMP/before-ctrl.png"
xdotool mousemove $((wx + 70)) $((wy + 288 + 2 + 7)) sleep 0.1 keydown ctrl click 1 keyup ctrl
sleep 0.5
kv_shot "$KV_TMP/after-ctrl.png"
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message appeared after Ctrl+click on the chosen file"
crop() { convert "$1" -crop "193x220+$((wx + 184))+$((wy + 96))" +repage "$2"; }
crop "$KV_TMP/before-ctrl.png" "$KV_TMP/b.png"
crop "$KV_TMP/after-ctrl.png" "$KV_TMP/a.png"
compare -metric AE "$KV_TMP/b.png" "$KV_TMP/a.png" null: 2>/dev/null ||
    fail "Ctrl+click on the chosen file changed the picture or its path"
echo "ok: Ctrl+click on the chosen file leaves path and picture as they were"

# Names in the order a Spanish reader expects, in both lists: accents count only between
# otherwise equal names, ñ is a letter of its own after n, case does not count. Each
# figure and each folder's figure has a colour of its own, in the order expected.
orden="$prog/Orden"
mkdir "$orden"
expected_files=(Águila árbol avión Élite erizo nube ñandú oso Zorro)
file_colours=(101080 201070 301060 401050 501040 601030 701020 801010 901000)
expected_folders=(Animales Árboles Ñu Osos Zeta)
folder_colours=(a01050 b01040 c01030 d01020 e01010)
for i in "${!expected_files[@]}"; do
    kv_figure "$orden/${expected_files[$i]}.bmp" 60 60 "${file_colours[$i]}" 101010
done
for i in "${!expected_folders[@]}"; do
    mkdir "$orden/${expected_folders[$i]}"
    kv_figure "$orden/${expected_folders[$i]}/f.bmp" 60 60 "${folder_colours[$i]}" 101010
done
keys "${folders[@]}" Up Return Down Down Return "${files[@]}" Home # the program folder, Orden
for i in "${!expected_files[@]}"; do
    [ "$i" = 0 ] || keys Down
    [ "$(shown)" = "${file_colours[$i]}" ] || fail "file ${expected_files[$i]} is not in place $i"
done
keys "${folders[@]}" # back in the folder list, on Orden
for i in "${!expected_folders[@]}"; do
    downs=()
    for _ in $(seq 0 "$i"); do downs+=(Down); done
    keys "${downs[@]}" Return "${files[@]}" Down
    [ "$(shown)" = "${folder_colours[$i]}" ] || fail "folder ${expected_folders[$i]} is not in place $i"
    keys "${folders[@]}" Up Return
done
echo "ok: Spanish order in both lists: ${expected_files[*]}; ${expected_folders[*]}"

# Files as real folders hold them. A FIFO, a socket and a device named *.bmp are listed
# (they are in the folder) but give error 75 at once; a bitmap of 1,080 bytes that
# declares 100000 x 100000 pixels is refused with error 7 before any memory is taken.
# The program answers after each.
hostile="$prog/Hostil"
mkdir "$hostile"
mkfifo "$hostile/a-tubo.bmp"
perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or die "$!"' \
    "$hostile/b-enchufe.bmp"
ln -s /dev/zero "$hostile/c-cero.bmp"
{
    printf BM; kv_le32 1080; kv_le32 0; kv_le32 1078                    # file header
    kv_le32 40; kv_le32 100000; kv_le32 100000; kv_le16 1; kv_le16 8    # RLE8, 100000 x 100000
    kv_le32 1; kv_le32 2; kv_le32 2835; kv_le32 2835; kv_le32 256; kv_le32 0
    head -c 1024 /dev/zero                                              # the palette
    printf '\x00\x01'                                                   # end of bitmap
} >"$hostile/d-enorme.bmp"
[ "$(stat -c %s "$hostile/d-enorme.bmp")" = 1080 ] || fail "the huge bitmap is not 1,080 bytes"
kv_figure "$hostile/e-bien.bmp" 60 60 c03090 101010
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end"
kv_start "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear again"
sleep 0.4
rss0=$(kv_rss_kib "$KV_PID")
keys Tab Down Down Return "${files[@]}" Home # Equipos, Hostil (Orden after it)
kv_expect_message "$win" 75 || fail "no error 75 for a FIFO"
keys Down
kv_expect_message "$win" 75 || fail "no error 75 for a socket"
keys Down
kv_expect_message "$win" 75 || fail "no error 75 for a link to /dev/zero"
keys Down
kv_expect_message "$win" 7 || fail "no error 7 for a bitmap of 100000 x 100000 pixels"
rss1=$(kv_rss_kib "$KV_PID")
[ $((rss1 - rss0)) -lt 65536 ] || fail "the program grew by $(((rss1 - rss0) / 1024)) MiB on hostile files"
keys Down
[ "$(shown)" = c03090 ] || fail "the program did not go on to the next figure ($(shown))"
echo "ok: FIFO, socket and device give error 75 at once, a 10-gigapixel bitmap error 7 ($(((rss1 - rss0) / 1024)) MiB more); the program goes on"

# Two names that read alike, "café.bmp" in UTF-8 and in Windows-1252: two rows, each
# opening its own figure, and the command line opens the one its bytes name. Then a
# figure saved into the folder shown by another program is listed within a second,
# while the figure chosen stays as it is.
nombres="$prog/Nombres"
mkdir "$nombres"
kv_figure "$nombres/café.bmp" 60 60 d04080 101010
kv_figure "$nombres/tmp.bmp" 60 60 40d080 101010
mv "$nombres/tmp.bmp" "$nombres/$(printf 'caf\xe9.bmp')"
keys "${folders[@]}" Up Return
xdotool type --delay 60 Nombres
keys Return "${files[@]}" Home
first=$(shown)
keys Down
second=$(shown)
[ "$(printf '%s\n' "$first" "$second" | sort | tr '\n' ' ')" = "40d080 d04080 " ] ||
    fail "the two names that read alike do not open their own figures ($first, $second)"
kv_figure "$nombres/tmp.bmp" 60 60 8040d0 101010
mv "$nombres/tmp.bmp" "$nombres/nueva.bmp"
sleep 1
[ "$(shown)" = "$second" ] || fail "the figure chosen changed when the folder did"
keys End
[ "$(shown)" = 8040d0 ] || fail "a figure saved into the folder shown was not listed within a second ($(shown))"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end"
kv_start "$prog/Kelvar500" "$nombres/$(printf 'caf\xe9.bmp')"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear with the argument"
sleep 0.6
[ "$(shown)" = 40d080 ] || fail "the argument did not open the file its bytes name ($(shown))"
echo "ok: names that read alike show apart and open their own files; a new figure is listed within a second"

# Paths that move while shown. The folder above the one shown renamed, as from a file
# manager: the lists follow it, with no message at F5, and Copia still finds the figure
# chosen. A folder shown through a link, the link pointed elsewhere (ln -sfn): the new
# target's figures are listed within a second.
mkdir -p "$KV_TMP/Fotos 2025/Viaje" "$KV_TMP/otra"
kv_figure "$KV_TMP/Fotos 2025/Viaje/v.bmp" 60 60 c08020 101010
kv_figure "$KV_TMP/otra/o.bmp" 60 60 2080c0 101010
# again_with FIGURE: the program closed and started again on the figure (v.bmp), shown.
again_with() {
    "$KV_XCLOSE" "$win"
    kv_wait_exit "$KV_PID" 5 || fail "the program did not end"
    kv_start "$prog/Kelvar500" "$1"
    win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
    sleep 0.6
    [ "$(shown)" = c08020 ] || fail "the figure named was not shown: $1 ($(shown))"
}
again_with "$KV_TMP/Fotos 2025/Viaje/v.bmp"
mv "$KV_TMP/Fotos 2025" "$KV_TMP/Fotos 2026"
sleep 1
kv_click $((wx + 200)) $((wy + 368)) # Copia
sleep 0.4
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "Copia did not find the figure after the rename ($(tail -n 1 "$KV_LOG"))"
kv_click $((wx + 40 + 30)) $((wy + 288 + 2 + 7)) # its row in the file list, then F5
keys F5
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "the lists did not follow the folder renamed above ($(tail -n 1 "$KV_LOG"))"
[ "$(shown)" = c08020 ] || fail "the figure is not shown from its folder's new path ($(shown))"
ln -s "$KV_TMP/Fotos 2026/Viaje" "$KV_TMP/enlace"
again_with "$KV_TMP/enlace/v.bmp"
ln -sfn "$KV_TMP/otra" "$KV_TMP/enlace"
sleep 1
keys Home
[ "$(shown)" = 2080c0 ] || fail "the link pointed elsewhere: its new target's figures are not listed ($(shown))"
echo "ok: a folder above renamed is followed; a link pointed elsewhere is followed within a second"
