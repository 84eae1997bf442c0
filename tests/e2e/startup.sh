#!/usr/bin/env bash
# The real program starts under a window manager, maps "Kelvaria 500" (its title bar
# reads exactly that) with its client area at 76, 53 and 406 x 397 pixels, draws its
# banner and picture box, and ends when its close box is used. An unknown option is
# answered without a display.
source "$(dirname "$0")/lib.sh"

kv_start "$KV_BIN"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
sleep 0.3
read -r x y w h < <(kv_geometry "$win")
[ "$x $y $w $h" = "76 53 406 397" ] || fail "client area at $x,$y size ${w}x$h"
kv_title_is "$win" "Kelvaria 500" || fail "the main window's title is not its caption alone"

kv_shot "$KV_TMP/shot.png"
[ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/shot.png" "$KV_SHOTS/startup.png"
# The banner (Image4 at 192,0 plus its 2-pixel edge) starts with its silver ground,
# and its lettering is light blue somewhere in the title's row.
[ "$(kv_pixel "$KV_TMP/shot.png" $((76 + 194)) $((53 + 2)))" = "c0c0c0" ] || fail "no banner at its place"
colours=$(convert "$KV_TMP/shot.png" -crop 165x30+$((76 + 194))+$((53 + 2)) -format %c histogram:info:)
grep -qi '#8080FF' <<<"$colours" || fail "no light-blue title in the banner"
# The picture box (184,96) has its sunken edge: the outer top-left line is darker than
# the button face inside.
edge=$(kv_pixel "$KV_TMP/shot.png" $((76 + 184)) $((53 + 150)))
inside=$(kv_pixel "$KV_TMP/shot.png" $((76 + 250)) $((53 + 150)))
[ "$edge" != "$inside" ] || fail "picture box without its edge ($edge)"
[ $((16#${edge:0:2})) -lt $((16#${inside:0:2})) ] || fail "picture box edge not darker ($edge vs $inside)"

# The close box ends the program, with status 0.
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end after its close box"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS"
echo "ok: window mapped at 76,53 406x397, banner and picture box drawn, close box ends the program"

# A program folder that cannot be read: the message, then exit status 1. The program runs
# as an unprivileged user, for whom a folder of mode 0711 cannot be listed.
locked="$KV_TMP/cerrada"
kv_program_folder "$locked"
chmod 0711 "$KV_TMP" "$locked"
kv_start setpriv --reuid=65534 --regid=65534 --clear-groups env XDG_RUNTIME_DIR= "$locked/Kelvar500"
box=$(kv_wait_window "Kelvaria 500") || fail "no message for an unreadable program folder"
sleep 0.3
kv_shot "$KV_TMP/message.png"
[ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/message.png" "$KV_SHOTS/startup-error.png"
# Accept the message (again, should the key arrive before the box takes input).
for _ in 1 2 3 4 5; do
    xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
    kv_wait_exit "$KV_PID" 1 && break
done
kill -0 "$KV_PID" 2>/dev/null && fail "the program did not end after the message"
[ "$KV_STATUS" = 1 ] || fail "exit status $KV_STATUS after an unreadable program folder"
echo "ok: an unreadable program folder gives the message and exit status 1"

# An unknown option is answered before anything needs a display: named on standard error
# with the usage, status 2, even among Qt's own options (a style and its name).
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$KV_BIN" -style Fusion --nada \
    >"$KV_TMP/out" 2>"$KV_TMP/err" || status=$?
[ "$status" = 2 ] && [ ! -s "$KV_TMP/out" ] || { cat "$KV_TMP/err"; fail "an unknown option without a display: status $status"; }
head -n 1 "$KV_TMP/err" | grep -qx -- "kelvar500: opción desconocida: --nada" ||
    { cat "$KV_TMP/err"; fail "the unknown option is not named"; }
grep -q '^Uso: kelvar500' "$KV_TMP/err" || fail "no usage after an unknown option"
echo "ok: an unknown option without a display gives the usage and status 2"

# Started from a folder that holds a library of the same name as one the program uses,
# the program loads the system's: no library is looked for in the working folder.
mkdir "$KV_TMP/libs"
wanted=$(LD_TRACE_LOADED_OBJECTS=1 "$KV_BIN" | awk '$1 ~ /^libQt6Core/ && $3 ~ /^\// {print $3}')
[ -n "$wanted" ] || fail "the program does not seem to use Qt's core library"
cp "$wanted" "$KV_TMP/libs/"
loaded=$(cd "$KV_TMP/libs" && LD_TRACE_LOADED_OBJECTS=1 "$KV_BIN" | awk '$1 ~ /^libQt6Core/')
grep -qF "=> $wanted " <<<"$loaded" || fail "a library was taken from the working folder: $loaded"
echo "ok: no library is taken from the working folder"
