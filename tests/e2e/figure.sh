#!/usr/bin/env bash
# The figure window, as a user opens and uses it: the picture box double-clicked, and
# Return on it; its title (name, size, zoom); the figure fitted, then 100 %, + and −, 0;
# one-pixel stripes an even grey at 25 %; another figure chosen in the main window while
# it is open; Escape; the main window closed by its close box takes it along.
source "$(dirname "$0")/lib.sh"
# The titles hold "×": xdotool's patterns and xprop read them as UTF-8 only in a UTF-8
# locale (C.UTF-8 is built into the C library), whatever the machine's own.
export LC_ALL=C.UTF-8

prog="$KV_TMP/prog"
kv_program_folder "$prog"
cat="$prog/Figuras"
mkdir -p "$cat"
# A figure larger than the screen (1280 x 1024): fitted, it is shrunk.
kv_figure "$cat/Grande.bmp" 2400 1600 2060a0 ff0000
# One-pixel stripes, black and white, 400 x 400.
convert -size 2x1 xc:black -fill white -draw 'point 1,0' -write mpr:s +delete -size 400x400 tile:mpr:s \
    -type TrueColor "BMP3:$cat/Rayas.bmp"
[ "$(convert "$cat/Rayas.bmp" -format '%[fx:p{0,5}.r*255] %[fx:p{1,5}.r*255]' info:)" = "0 255" ] ||
    fail "the stripes were not drawn as one-pixel stripes"

cd "$KV_TMP"
kv_start "$prog/Kelvar500" "$cat/Grande.bmp"
main=$(kv_wait_window "Kelvaria 500") || fail "no main window"
read -r mx my _ _ < <(kv_geometry "$main")
sleep 0.5
# The picture box: 2895 twips square from (2760, 1440) in the main window: its middle.
box_x=$((mx + 280)) box_y=$((my + 192))

title_of() { xprop -id "$1" _NET_WM_NAME | sed -E 's/^[^"]*"(.*)"$/\1/'; }
# wait_title ID PATTERN: the window's title comes to match the (extended) pattern.
wait_title() {
    local t
    for _ in $(seq 50); do
        t=$(title_of "$1")
        grep -Eq -- "$2" <<<"$t" && return 0
        sleep 0.1
    done
    echo "title [$t], not /$2/" >&2
    return 1
}

# Opened by a double-click: a window of its own, fitted (shrunk, the figure is larger than
# the screen), the figure's colour filling its middle.
kv_click "$box_x" "$box_y" 2
fig=$(kv_wait_window 'Grande\.bmp \(2400 × 1600\) [0-9]+ % - Kelvaria 500') || fail "no figure window after a double-click"
zoom=$(title_of "$fig" | sed -E 's/.*\) ([0-9]+) %.*/\1/')
[ "$zoom" -lt 100 ] && [ "$zoom" -gt 30 ] || fail "the figure is not fitted: $zoom %"
read -r fx fy fw fh < <(kv_geometry "$fig")
sleep 1
kv_shot shot.png
[ "$(kv_pixel shot.png $((fx + fw / 2)) $((fy + fh / 2)))" = 2060a0 ] || fail "the figure is not shown in its window"
# 1 shows 100 %; + and − step; 0 fits again.
xdotool windowactivate --sync "$fig" 2>/dev/null || true
xdotool key 1
wait_title "$fig" '\) 100 % - Kelvaria 500$' || fail "1 did not show 100 %"
xdotool key plus
wait_title "$fig" '\) 150 % - ' || fail "+ did not zoom in"
xdotool key minus minus
wait_title "$fig" '\) 67 % - ' || fail "− did not zoom out"
xdotool key 0
wait_title "$fig" "\\) $zoom % - " || fail "0 did not fit the figure again"

# Another figure chosen in the main window while the window is open: it shows that one.
xdotool windowactivate --sync "$main" 2>/dev/null || true
xdotool key --delay 100 Tab Tab Tab Tab End # to the file list, its last figure: Rayas.bmp
wait_title "$fig" '^Rayas\.bmp \(400 × 400\) 100 % - Kelvaria 500$' || fail "the window did not follow the figure chosen"
xdotool windowactivate --sync "$fig" 2>/dev/null || true
xdotool key minus minus minus minus
wait_title "$fig" '\) 25 % - ' || fail "− did not come to 25 %"
sleep 1
read -r fx fy fw fh < <(kv_geometry "$fig")
kv_shot stripes.png
# 100 x 100 pixels in the middle of the window: every one the same grey, no stripes.
spread=$(convert stripes.png -crop 60x60+$((fx + fw / 2 - 30))+$((fy + fh / 2 - 30)) +repage -colorspace gray \
    -format '%[fx:round(minima*255)] %[fx:round(maxima*255)]' info:)
read -r least most <<<"$spread"
[ "$least" -ge 126 ] && [ "$most" -le 129 ] || fail "the stripes at 25 % are not an even grey: $least..$most"

# Escape closes it; the main window stays.
xdotool key Escape
for _ in $(seq 30); do [ "$(xdotool search --onlyvisible --name 'Rayas\.bmp' 2>/dev/null | wc -l)" = 0 ] && break; sleep 0.1; done
[ "$(xdotool search --onlyvisible --name 'Rayas\.bmp' 2>/dev/null | wc -l)" = 0 ] || fail "Escape did not close the figure window"
kill -0 "$KV_PID" || fail "the program ended with the figure window"

# Return on the picture box (it is in the Tab order) opens it again, on the figure shown.
xdotool windowactivate --sync "$main" 2>/dev/null || true
kv_click "$box_x" "$box_y" 1
xdotool key Return
kv_wait_window 'Rayas\.bmp \(400 × 400\) 100 % - Kelvaria 500' >/dev/null || fail "Return on the picture box did not open it"

# Closing the main window by its close box ends the program, the figure window with it.
"$KV_XCLOSE" "$main"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end with its main window closed"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS"
echo "ok: double-click and Return open the figure window, titled with name, size and zoom; fitted, 100 %," \
    "+, − and 0; the stripes an even grey at 25 %; another figure followed; Escape closes it"
