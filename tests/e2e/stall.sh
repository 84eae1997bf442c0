#!/usr/bin/env bash
# The world stops answering, the window does not: a share whose server is gone (a FUSE
# file system of the test's own, mounted in a private mount namespace, that holds every
# answer while told to) and a print server stopped with SIGSTOP. While a step waits on
# them the window answers the window manager's ping; after the limit (10 s) the step
# fails with its message, and the program goes on. Needs root, /dev/fuse, fusepy and
# python3-xlib; without them it reports itself skipped.
source "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || { echo "skipped: a private mount namespace needs root"; exit 77; }
[ -c /dev/fuse ] || { echo "skipped: no /dev/fuse here"; exit 77; }
/usr/bin/python3 -c 'import fusepy, Xlib' 2>/dev/null || { echo "skipped: python3-fusepy or python3-xlib missing"; exit 77; }
media=""
for d in /media /mnt; do [ -d "$d" ] && { media=$d; break; }; done
[ -n "$media" ] || { echo "skipped: neither /media nor /mnt exists"; exit 77; }
source "$KV_SOURCE/tools/servers.sh"
(private_mounts true) || { echo "skipped: no private mount namespace here"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)

at() { kv_click $((wx + $1)) $((wy + $2)) "${3:-1}"; sleep 0.4; }
shown() { kv_shot "$KV_TMP/k.png"; kv_pixel "$KV_TMP/k.png" $((wx + 186 + 30)) $((wy + 98 + 30)); }
# alive FOR: the window answers pings within half a second for FOR seconds.
alive() { /usr/bin/python3 "$here/xping.py" "$win" "$1" 500 >"$KV_TMP/ping" || fail "$(cat "$KV_TMP/ping")"; }
# failed_within NUMBER SECONDS: the message NUMBER comes within SECONDS of the step.
failed_within() { kv_expect_message "$win" "$1" "$2" || fail "no error $1 within $2 s"; }

prog="$KV_TMP/prog"
kv_program_folder "$prog"
kv_figure "$prog/inicio.bmp" 60 60 30b0b0 101010
share="$KV_TMP/share"
mkdir -p "$share/Red"
kv_figure "$share/otra.bmp" 60 60 b03030 101010
kv_figure "$share/Red/lento.bmp" 60 60 3030b0 101010
hold="$KV_TMP/hold"
point="$media/kv-share-$$"
unset KV_TEST_SPOOL
start_print_server "$KV_TMP/cups" >/dev/null
KV_PIDS+=("$print_pid")

# start_on_share THEN ARGS: the program started with ARGS in a namespace of its own, where
# the share is mounted under a private tmpfs on the media folder, once the shell
# commands THEN ran there; the share's server's PID is kept to stop it.
start_on_share() {
    local then=$1
    shift
    rm -f "$KV_TMP/fs.pid"
    kv_start private_mounts sh -c "mount -t tmpfs kv-share '$media' && mkdir '$point' &&
    { /usr/bin/python3 '$here/stallfs.py' '$share' '$point' '$hold' & echo \$! >'$KV_TMP/fs.pid'; } &&
    for i in \$(seq 100); do grep -q ' $point ' /proc/self/mounts && break; sleep 0.05; done &&
    $then && exec '$prog/Kelvar500' $*"
}
stop_share() {
    rm -f "$hold.after-listing" "$hold" # (a process that waits on the share ends only once it answers)
    [ -s "$KV_TMP/fs.pid" ] && kill "$(cat "$KV_TMP/fs.pid")" 2>/dev/null || true
}
stop_program() {
    stop_share
    kill "$KV_PID" 2>/dev/null || true
    kv_wait_exit "$KV_PID" 10 || fail "the program did not end"
}
trap 'stop_share; kv_cleanup' EXIT
cd "$KV_TMP"

# Started from a folder on a share that no longer answers, and with a figure on such a
# share: the window comes at once and answers. Nothing needs the working folder (the
# lists start at the program folder); the figure's look fails after the limit, with
# error 68 naming the share.
for start in "cd '$point/Red' && touch '$hold'" "touch '$hold'"; do
    if [ "${start#cd}" = "$start" ]; then args="'$point/Red/lento.bmp'"; else args=""; fi
    start_on_share "$start" "$args"
    win=$(kv_wait_window "Kelvaria 500" 5) || fail "no window while the share is held (started: $start $args)"
    alive 2
    if [ -n "$args" ]; then
        failed_within 68 12
        grep -qF "error 68: Dispositivo no disponible: $point" "$KV_LOG" || fail "the message does not name the share"
    else
        sleep 1
        [ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message for a working folder nothing reads"
    fi
    read -r wx wy _ _ < <(kv_geometry "$win")
    at 80 297
    [ "$(shown)" = 30b0b0 ] || fail "the lists are not at the program folder ($(shown))"
    stop_program
done
echo "ok: started on a share that does not answer: the window at once, the program folder, error 68 for a figure there"

# The share stops right after it listed a folder being opened: the window goes on
# answering while the system is asked to follow that folder, and the next step on the
# share fails after the limit. The close box pressed meanwhile ends the program once
# the message is read.
start_on_share true "'$point'"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.4
touch "$hold.after-listing"
at 80 176 2
alive 3
"$KV_XCLOSE" "$win"
for _ in $(seq 120); do
    box=$(xdotool search --onlyvisible --name "^Kelvaria 500\$" 2>/dev/null | grep -vx "$win" | head -n 1 || true)
    [ -n "$box" ] && break
    sleep 0.1
done
[ -n "$box" ] && grep -q "error 68:" "$KV_LOG" || fail "no error 68 within 12 s"
[ "$(kv_windows "Kelvaria 500")" = 2 ] || fail "the window went under its message"
xdotool windowactivate --sync "$box" key Return
sleep 1
stop_share # (the program's last threads end once the share answers)
kv_wait_exit "$KV_PID" 5 || fail "the close box pressed during the wait was lost"
echo "ok: a share that stops right after a listing: the window answers, then error 68; a close meanwhile is made"

start_on_share true "'$point'"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.4
at 80 297 # otra.bmp, read from the share while it answers
[ "$(shown)" = b03030 ] || fail "the figure on the share was not shown ($(shown))"

# The share stops answering; its folder Red is opened (double-click on its row).
touch "$hold"
at 80 176 2
alive 3
failed_within 68 12
grep -qF "error 68: Dispositivo no disponible: $point" "$KV_LOG" || fail "the message does not name the share"
# The lists left the share as they leave a drive taken away: the program folder's figure.
at 80 297
[ "$(shown)" = 30b0b0 ] || fail "the lists did not leave the share ($(shown))"
rm -f "$hold"
echo "ok: a share that stops answering: the window answers meanwhile, then error 68 and the lists leave it"

# The print server stops answering: Imprimir waits for it, not the window.
kill -STOP "$print_pid"
at 256 368
alive 3
failed_within 482 12
grep -qF "error 482: Error de impresora: El servidor de impresión no responde." "$KV_LOG" ||
    fail "the message does not say the print server does not answer"
kill -CONT "$print_pid"
sleep 1
[ "$(kv_spool_jobs)" = 0 ] || fail "the page the user was told had failed was printed once the server answered"
at 256 368
printwin=$(kv_wait_window "Print" 10) || fail "no print window once the print server answers again"
kv_wait_jobs 1 || fail "no page once the print server answers again"
echo "ok: a print server that stops answering: the window answers meanwhile, then error 482; later a page"

# A print server that answers late, not never: strace holds its answer to one request of
# the job for 15 s. The user is told at the limit that the server does not answer, and
# then no page comes out: the job it accepted late is cancelled. A job it accepts within
# the limit, even slowly, is printed.
command -v strace >/dev/null || { echo "skipped: strace is missing (a print server that answers late)"; exit 77; }
"$KV_XCLOSE" "$printwin"
sleep 0.4
pages() { cat "$KV_TMP/cups/log/page_log" 2>/dev/null | wc -l; }
traced() { [ "$(awk '/^TracerPid:/ {print $2}' "/proc/$print_pid/status")" != 0 ]; }
# trace_server STRACE_OPTIONS...: strace follows the print server's replies (sendto),
# counted from now; it returns once strace holds the server.
trace_server() {
    strace -p "$print_pid" -f -e trace=sendto "$@" &
    tracer=$!
    KV_PIDS+=("$tracer")
    for _ in $(seq 100); do traced && return 0; sleep 0.05; done
    fail "strace did not attach to the print server"
}
untrace_server() {
    kill "$tracer"
    wait "$tracer" 2>/dev/null || true
    for _ in $(seq 100); do traced || return 0; sleep 0.05; done
    fail "strace did not let the print server go"
}
# queue_settles: the queue holds no job, neither waiting, printing nor held (lpstat waits
# while the server holds its answers).
queue_settles() {
    local end=$((SECONDS + 40))
    while [ $SECONDS -lt $end ]; do
        [ -z "$(lpstat -o 2>/dev/null)" ] && return 0
        sleep 0.2
    done
    return 1
}
last_message() { grep -o 'error [0-9]*:.*' "$KV_LOG" | tail -n 1; }

# A first page, while strace counts the server's replies: the answers to Create-Job and
# Send-Document are the ones that carry a job-uri, the first and the second.
jobs=$(kv_spool_jobs)
printed=$(pages)
trace_server -s 400 -o "$KV_TMP/replies"
at 256 368
printwin=$(kv_wait_window "Print" 10) || fail "no print window while the replies were counted"
kv_wait_jobs $((jobs + 1)) || fail "no page while the replies were counted"
untrace_server
[ "$(pages)" = $((printed + 1)) ] || fail "the page counted is not in the page log"
replies=$(awk -v p="$print_pid" '$1 == p && / sendto\(/ {n++; if (/job-uri/) print n}' "$KV_TMP/replies")
create=$(sed -n 1p <<<"$replies")
send=$(sed -n 2p <<<"$replies")
[ -n "$send" ] || { cat "$KV_TMP/replies" >&2; fail "no answers to Create-Job and Send-Document among the replies"; }
"$KV_XCLOSE" "$printwin"
sleep 0.4

# late_answer NUMBER WHAT: the server's reply NUMBER comes 15 s late; error 482 at the
# limit, and no page then or later.
late_answer() {
    jobs=$(kv_spool_jobs)
    printed=$(pages)
    trace_server -o /dev/null -e inject=sendto:delay_enter=15000000:when="$1"
    at 256 368
    failed_within 482 12
    [ "$(last_message)" = "error 482: Error de impresora: El servidor de impresión no responde." ] ||
        fail "the message for a late answer to $2 is: $(last_message)"
    queue_settles || { lpstat -o; fail "the job the server accepted late ($2) stays in the queue"; }
    untrace_server
    [ "$(pages)" = "$printed" ] || fail "the page the user was told had failed ($2 late) was printed"
    [ "$(kv_windows Print)" = 0 ] || fail "a print window after a late answer to $2"
}
late_answer "$create" Create-Job
[ "$(kv_spool_jobs)" = "$jobs" ] || fail "a page was sent for the job whose creation was answered late"
late_answer "$send" Send-Document

# Slow, but within the limit: printed, and no message.
jobs=$(kv_spool_jobs)
printed=$(pages)
trace_server -o /dev/null -e inject=sendto:delay_enter=3000000:when="$send"
at 256 368
printwin=$(kv_wait_window "Print" 10) || fail "no print window for a page the server accepted within the limit"
kv_wait_jobs $((jobs + 1)) || fail "no page for a job the server accepted within the limit"
untrace_server
[ "$(pages)" = $((printed + 1)) ] || fail "the job the server accepted within the limit was not printed"
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message for a page the server accepted within the limit"
echo "ok: a print server that answers late: error 482 at the limit and no page; within the limit a page"

# A print server without printers, and one that is not running at all: each with its own
# message.
"$KV_XCLOSE" "$printwin"
sleep 0.4
lpadmin -x "$(lpstat -d | sed -n 's/.*: //p')"
at 256 368
failed_within 482 5
[ "$(last_message)" = "error 482: Error de impresora: No hay ninguna impresora predeterminada." ] ||
    fail "the message for a print server without printers is: $(last_message)"
kill "$print_pid"
wait "$print_pid" 2>/dev/null || true
at 256 368
failed_within 482 5
[ "$(last_message)" = "error 482: Error de impresora: El servidor de impresión no está en marcha." ] ||
    fail "the message for a print server that is not running is: $(last_message)"
echo "ok: a print server without printers, and one not running, each with its own message"
