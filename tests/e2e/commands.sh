#!/usr/bin/env bash
# The whole road from picture to paper, as a user would, driven only from outside:
# copy to the real clipboard, print to the real queue, help, leave, close.
source "$(dirname "$0")/lib.sh"
[ -n "${KV_TRACE_STEPS:-}" ] && { PS4='+ $SECONDS '; set -x; }
shot() { kv_shot "$KV_TMP/$1.png"; [ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/$1.png" "$KV_SHOTS/commands-$1.png"; true; }

prog="$KV_TMP/prog"
kv_program_folder "$prog"
# The category and the first figure have names that are not UTF-8, as older systems
# wrote them on Spanish disks (Windows-1252): the whole road keeps their bytes.
category="$prog/"$'\xff\xfe''Dir'
uno="$category/categor"$'\xed''a.bmp'
mkdir "$category"
kv_figure "$KV_TMP/uno.bmp" 120 90 d02020 101010 && mv "$KV_TMP/uno.bmp" "$uno"
kv_figure "$category/dos.bmp" 120 90 20a040 101010
# kv_grain FILE WIDTH HEIGHT: a 24-bit BMP of random pixels (WIDTH * 3 a multiple of 4).
kv_grain() {
    local bytes=$(($2 * $3 * 3))
    { printf BM; kv_le32 $((54 + bytes)); kv_le32 0; kv_le32 54; kv_le32 40; kv_le32 "$2"; kv_le32 "$3"
      kv_le16 1; kv_le16 24; kv_le32 0; kv_le32 "$bytes"; kv_le32 2835; kv_le32 2835; kv_le32 0; kv_le32 0
      head -c "$bytes" /dev/urandom; } >"$1"
}
# A figure whose PNG is larger than one piece of an X transfer (16 MB): a paste of it
# comes in pieces.
grano="$category/grano.bmp"
kv_grain "$grano" 2600 2400

cd "$KV_TMP"
KV_TRACE_EVENTS=1 kv_start "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.3
at() { kv_click $((wx + $1)) $((wy + $2)) "${3:-1}"; sleep 0.4; }
# shown_now COLOUR: waits (3 s at most) until the picture box shows a figure of that colour.
shown_now() {
    local end=$((SECONDS + 3))
    while [ $SECONDS -lt $end ]; do
        kv_shot "$KV_TMP/now.png"
        [ "$(kv_pixel "$KV_TMP/now.png" $((wx + 186 + 50)) $((wy + 98 + 50)))" = "$1" ] && return 0
        sleep 0.2
    done
    return 1
}

# 1. The category, then the first figure.
kv_shot "$KV_TMP/start.png"
top=$(kv_first_row_with "$KV_TMP/start.png" $((wx + 80)) $((wy + 154)) 92 308cc6)
[ -n "$top" ] || fail "no highlighted folder"
kv_click $((wx + 80)) $((top + 15 + 7)) 2
sleep 0.4
at 70 297 # categoría.bmp, above dos.bmp
shot figure
[ "$(kv_pixel "$KV_TMP/figure.png" $((wx + 186 + 50)) $((wy + 98 + 50)))" = d02020 ] ||
    fail "the figure whose name is not UTF-8 was not shown"

# 2. Copy: the clipboard holds exactly the file's pixels while the program runs.
clip() { timeout 5 xclip -selection clipboard -t image/png -o >"$KV_TMP/clip.png"; }
same() { compare -metric AE "$1" "$2" null: 2>/dev/null; }
at 200 368
clip || fail "nothing on the clipboard after copy"
same "$uno" "$KV_TMP/clip.png" || fail "the clipboard does not hold the file's pixels"
kv_figure "$KV_TMP/uno.bmp" 120 90 2040d0 101010 && cp "$KV_TMP/uno.bmp" "$uno" # rewritten on disk
at 200 368
clip && same "$uno" "$KV_TMP/clip.png" || fail "a second copy did not read the file again"
cp "$uno" "$KV_TMP/rewritten.bmp"
rm "$uno"
at 200 368
shot copy-error
kv_expect_message "$win" 53 3 || fail "no message for a copy of a deleted file"
clip && same "$KV_TMP/rewritten.bmp" "$KV_TMP/clip.png" || fail "a failed copy lost the clipboard's picture"
echo "ok: copy gives the file's pixels, reads it again, and keeps the clipboard when the file is gone"

# 3. Print: one page in the queue with the picture at screen scale; none while the print
#    window is open; a new one with the new picture after it was closed.
if [ -n "${KV_TEST_SPOOL:-}" ]; then
    jobs=$(kv_spool_jobs)
    at 256 368
    printwin=$(kv_wait_window "Print") || fail "no print window"
    kv_title_is "$printwin" Print || fail "the print window's title is not Print"
    kv_wait_jobs $((jobs + 1)) || fail "no page reached the print queue"
    shot print
    page=$(ls -t "$KV_TEST_SPOOL"/d* | head -n 1)
    # The page holds one image, lossless, at 96 pixels per inch: exactly the print
    # window as it shows on the screen, pixel for pixel.
    pdfimages -list "$page" | awk 'NR > 2' >"$KV_TMP/images"
    [ "$(wc -l <"$KV_TMP/images")" = 1 ] || { cat "$KV_TMP/images"; fail "not one image on the page"; }
    read -r _ _ _ iw ih _ _ _ enc _ _ _ xppi yppi _ <"$KV_TMP/images"
    [ "$enc $iw $ih $xppi $yppi" = "image 204 213 96 96" ] ||
        fail "page image: $enc ${iw}x$ih at $xppi x $yppi ppi (wanted lossless 204x213 at 96)"
    pdfimages -png "$page" "$KV_TMP/pageimg"
    # (the window as shown, once it has painted: taken again for up to 3 s)
    for _ in $(seq 15); do
        import -window "$printwin" "$KV_TMP/printwin.png"
        same "$KV_TMP/pageimg-000.png" "$KV_TMP/printwin.png" && break
        sleep 0.2
    done
    same "$KV_TMP/pageimg-000.png" "$KV_TMP/printwin.png" ||
        fail "the page's image differs from the print window's pixels ($(compare -metric AE "$KV_TMP/pageimg-000.png" "$KV_TMP/printwin.png" null: 2>&1) pixels)"
    pdftoppm -r 96 -png -singlefile "$page" "$KV_TMP/page1"
    red=$(kv_matching "$KV_TMP/page1.png" d02020)
    [ "$red" -gt 9000 ] && [ "$red" -lt 12000 ] || fail "the page shows $red red pixels, not the 120 x 90 picture"
    at 256 368
    sleep 1.5
    [ "$(kv_spool_jobs)" = $((jobs + 1)) ] || fail "a second press printed while the print window was open"
    "$KV_XCLOSE" "$printwin"
    sleep 0.4
    at 70 297 # dos.bmp, in the first row now: the deleted figure left the list
    shown_now 20a040 || fail "the second figure was not shown before printing"
    at 256 368
    kv_wait_window "Print" >/dev/null || fail "no print window the second time"
    kv_wait_jobs $((jobs + 2)) || fail "no second page"
    page=$(ls -t "$KV_TEST_SPOOL"/d* | head -n 1)
    pdftoppm -r 96 -png -singlefile "$page" "$KV_TMP/page2"
    [ -n "${KV_SHOTS:-}" ] && cp "$KV_TMP/page1.png" "$KV_TMP/page2.png" "$KV_SHOTS/"
    green=$(kv_matching "$KV_TMP/page2.png" 20a040)
    [ "$green" -gt 9000 ] && [ "$green" -lt 12000 ] || fail "the new page shows $green green pixels"
    echo "ok: one page per loaded print window, the picture in colour at screen scale"
else
    echo "skipped printing: no private print server"
fi

# 4. The large figure: its PNG, pasted twice, holds exactly its pixels. During a slow
#    paste (a program that takes its time between the pieces) the viewer answers a key,
#    and a copy made meanwhile goes to the next paste; the paste under way stays whole.
clicks() { grep -cx 'File1.Click' "$KV_LOG" || true; }
at 70 312 # grano.bmp, after dos.bmp (the deleted figure left the list)
at 200 368
for n in first second; do
    timeout 20 "$KV_XPASTE" image/png "$KV_TMP/grano.png" >/dev/null || fail "no $n paste of the large figure"
    same "$grano" "$KV_TMP/grano.png" || fail "the $n paste of the large figure differs from its pixels"
done
at 70 312 # the file list has the keyboard again
before=$(clicks)
# The paster holds between pieces while the test is busy (a few seconds at most), so
# the key and the copy fall inside the paste however loaded the machine is.
touch "$KV_TMP/holding"
timeout 60 "$KV_XPASTE" image/png "$KV_TMP/slow.png" --hold "$KV_TMP/holding" >"$KV_TMP/slow.out" &
paster=$!
KV_PIDS+=("$paster")
for _ in $(seq 100); do grep -q piece "$KV_TMP/slow.out" && break; sleep 0.05; done
grep -q piece "$KV_TMP/slow.out" || fail "the slow paste got no piece"
xdotool key Up # dos.bmp, the figure above
answered=""
while kill -0 "$paster" 2>/dev/null; do
    [ "$(clicks)" -gt "$before" ] && { answered=yes; break; }
    sleep 0.02
done
[ -n "$answered" ] || fail "a key pressed during the paste was not answered before the paste ended"
copies=$(grep -cx 'SSCommand1.Click' "$KV_LOG" || true)
kv_click $((wx + 200)) $((wy + 368)) # Copia, of dos.bmp
for _ in $(seq 100); do
    [ "$(grep -cx 'SSCommand1.Click' "$KV_LOG" || true)" -gt "$copies" ] && break
    sleep 0.02
done
kill -0 "$paster" 2>/dev/null || fail "the paste ended before the second copy (too fast to test)"
rm "$KV_TMP/holding"
wait "$paster" || fail "the slow paste failed"
same "$grano" "$KV_TMP/slow.png" || fail "the paste under way did not give the figure it started with, whole"
clip && same "$category/dos.bmp" "$KV_TMP/clip.png" || fail "the next paste did not give the new copy"
echo "ok: a large figure's PNG pasted twice is its pixels; a key is answered during a paste; a copy meanwhile goes to the next"

# 5. Help twice: one window.
at 308 368
helpwin=$(kv_wait_window "Ayuda") || fail "no help window"
kv_title_is "$helpwin" Ayuda || fail "the help window's title is not Ayuda"
at 308 368
[ "$(kv_windows Ayuda)" = 1 ] || fail "$(kv_windows Ayuda) help windows"
shot help
echo "ok: help twice gives one window"

# 6. Leave through the company window: the main window takes no more input.
at 364 368
company=$(kv_wait_window "Tramonte") || fail "no company window"
kv_title_is "$company" Tramonte || fail "the company window's title is not Tramonte"
kv_shot "$KV_TMP/before.png"
at 70 312 # a file click in the main window now changes nothing
at 200 368
kv_shot "$KV_TMP/after.png"
shot company
convert "$KV_TMP/before.png" -crop 193x220+$((wx + 184))+$((wy + 96)) +repage "$KV_TMP/b.png"
convert "$KV_TMP/after.png" -crop 193x220+$((wx + 184))+$((wy + 96)) +repage "$KV_TMP/a.png"
same "$KV_TMP/b.png" "$KV_TMP/a.png" || fail "the disabled main window reacted to a click"
# The company window opens with the focus on its "Cerrar": Enter presses it.
xdotool windowfocus --sync "$company" key Return
kv_wait_exit "$KV_PID" 5 || fail "Enter on the company window's Cerrar did not end the program"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after the company window's Cerrar"
echo "ok: the exit button disables the main window; Enter on the company window's Cerrar ends with status 0"

# 7. A fresh start, and the main window's Cerrar.
kv_start "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear again"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.3
kv_click $((wx + 76)) $((wy + 376))
kv_wait_exit "$KV_PID" 2 || fail "Cerrar did not end the program at once"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after Cerrar"
echo "ok: Cerrar ends the program with status 0"

# 8. Once more, Tab to the main window's Cerrar (picture box, folders, drives, Cerrar)
#    and Enter.
kv_start "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear again"
sleep 0.3
xdotool windowfocus --sync "$win" key --delay 80 Tab Tab Tab Return
kv_wait_exit "$KV_PID" 2 || fail "Enter on Cerrar did not end the program"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after Enter on Cerrar"
echo "ok: Enter on the focused Cerrar ends the program with status 0"

# 9. A print server of this test's own that refuses the job, then takes jobs again, then
#    has gone: the printer error with the server's reason and no page, a page again, and
#    the printer error once more.
if [ -n "${KV_TEST_SPOOL:-}" ]; then
    source "$KV_SOURCE/tools/servers.sh"
    unset KV_TEST_SPOOL
    start_print_server "$KV_TMP/cups" >/dev/null
    KV_PIDS+=("$print_pid")
    [ -n "${KV_TEST_SPOOL:-}" ] || fail "the test's own print server did not start"
    queue=$(lpstat -d | sed -n 's/.*: //p')
    kv_start "$prog/Kelvar500"
    win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear for the refusing queue"
    read -r wx wy _ _ < <(kv_geometry "$win")
    sleep 0.3
    cupsreject "$queue"
    at 256 368
    kv_expect_message "$win" 482 5 || fail "no printer error when the queue refuses jobs"
    grep -qF "error 482: Error de impresora: Destination \"$queue\" is not accepting jobs." "$KV_LOG" ||
        fail "the message does not give the server's reason"
    [ "$(kv_windows Print)" = 0 ] || fail "a print window after the refused job"
    cupsreject -r "Sin papel" "$queue" # the queue's own reason, where it gives one
    at 256 368
    kv_expect_message "$win" 482 5 || fail "no printer error when the queue refuses jobs for a reason"
    grep -qF "error 482: Error de impresora: Sin papel" "$KV_LOG" || fail "the message does not give the queue's reason"
    cupsaccept "$queue"
    at 256 368
    printwin=$(kv_wait_window "Print") || fail "no print window once the queue takes jobs again"
    kv_wait_jobs 1 || fail "no page once the queue takes jobs again"
    [ "$(kv_spool_jobs)" = 1 ] || fail "the refused job reached the queue"
    "$KV_XCLOSE" "$printwin"
    sleep 0.4
    kill "$print_pid"
    wait "$print_pid" 2>/dev/null || true
    at 256 368
    kv_expect_message "$win" 482 5 || fail "no printer error with the print server gone"
    [ "$(kv_windows Print)" = 0 ] || fail "a print window with the print server gone"
    kv_click $((wx + 76)) $((wy + 376))
    kv_wait_exit "$KV_PID" 2 && [ "$KV_STATUS" = 0 ] || fail "Cerrar did not end the program after printer errors"
    echo "ok: a refused job and a print server gone give the printer error with the reason; accepting again prints"
else
    echo "skipped the refusing print server: no private print server"
fi

# 10. A broken figure whose name would retitle and clear a terminal, given on the command
#     line: the message, and on standard error the name with its control characters
#     escaped.
mkdir "$KV_TMP/raras"
hostile=$'x\e]0;PWNED\a\e[2J.bmp'
printf 'BMnada' >"$KV_TMP/raras/$hostile"
kv_start "$prog/Kelvar500" "$KV_TMP/raras/$hostile"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear for the broken figure"
read -r wx wy _ _ < <(kv_geometry "$win")
kv_expect_message "$win" 481 5 || fail "no message for the broken figure"
grep -qF "error 481: Imagen no válida: $KV_TMP/raras/x\x1b]0;PWNED\x07\x1b[2J.bmp" "$KV_LOG" ||
    fail "the name is not written escaped on standard error"
grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$KV_LOG" && fail "control characters reached standard error"
kv_click $((wx + 76)) $((wy + 376))
kv_wait_exit "$KV_PID" 2 || fail "Cerrar did not end the program after the broken figure"
echo "ok: a name's control characters are written escaped on standard error"

# 11. A figure of 2 MP on the command line, "Copia", and at once SIGTERM (a log-out): the
#     program ends with status 0 and the desktop's clipboard manager gets the figure.
kv_grain "$category/dosmp.bmp" 1600 1250
"$KV_CLIPKEEPER" "$KV_TMP/kept.png" image/png >"$KV_TMP/keeper.out" 2>&1 &
keeper=$!
KV_PIDS+=("$keeper")
for _ in $(seq 50); do grep -q ready "$KV_TMP/keeper.out" && break; sleep 0.1; done
grep -q ready "$KV_TMP/keeper.out" || fail "the clipboard manager did not start"
kv_start "$prog/Kelvar500" "$category/dosmp.bmp"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear with the 2 MP figure"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.5
kv_click $((wx + 200)) $((wy + 368))
kill -TERM "$KV_PID"
kv_wait_exit "$KV_PID" 10 || fail "SIGTERM right after a copy did not end the program"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS after SIGTERM right after a copy"
kv_wait_exit "$keeper" 2 || fail "the clipboard manager was not asked to keep the clipboard"
[ "$KV_STATUS" = 0 ] || fail "the clipboard manager got nothing"
same "$category/dosmp.bmp" "$KV_TMP/kept.png" || fail "the clipboard manager kept other pixels than the figure's"
# The PNG states the screen's resolution (96 dpi), as for a figure clicked: the figure
# from the command line was decoded before the program had a screen.
resolution=$(identify -format '%x %U' "$KV_TMP/kept.png" | awk '{printf "%.1f %s", $1, $2}')
[ "$resolution" = "37.8 PixelsPerCentimeter" ] || fail "the copied PNG states $resolution, not 96 dpi"
echo "ok: SIGTERM right after copying a 2 MP figure: status 0, and the clipboard manager keeps it"
