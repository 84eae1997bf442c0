#!/usr/bin/env bash
# What a blind user hears, from the screen reader itself: Orca, in Spanish, on a private
# session bus with the accessibility bus, under the test display's window manager. Its
# speech goes to a server that says nothing, and its debug log is the record of every
# utterance. One keyboard path: the start, the folder list entered and a folder opened,
# the drive list, the file list's first figure, an error box and back, the figure window
# opened and zoomed, F5, files written into and taken from the shown folder, a name that
# is not UTF-8, "Ayuda" and the company window.
if [ -z "${KV_SESSION_BUS:-}" ]; then
    command -v dbus-run-session >/dev/null || { echo "dbus-run-session is not installed"; exit 77; }
    KV_SESSION_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"

command -v orca >/dev/null || { echo "orca is not installed"; exit 77; }
[ -x "$KV_ATSPI_LAUNCHER" ] || { echo "at-spi2-core is not installed"; exit 77; }

# A Spanish locale of the test's own (the machine's locales are left as they are).
export LOCPATH="$KV_TMP/locale"
mkdir -p "$LOCPATH"
localedef -i es_ES -f UTF-8 "$LOCPATH/es_ES.UTF-8" >/dev/null 2>&1 ||
    { echo "no Spanish locale can be made here (locales)"; exit 77; }
export LANG=es_ES.UTF-8 LANGUAGE=es LC_ALL=es_ES.UTF-8

# Orca's home, so that a user's settings are neither read nor changed.
export HOME="$KV_TMP/home" XDG_CONFIG_HOME="$KV_TMP/home/config" XDG_DATA_HOME="$KV_TMP/home/data" \
    XDG_CACHE_HOME="$KV_TMP/home/cache"
mkdir -p "$XDG_DATA_HOME/orca" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
cp "$(dirname "$0")/orca/orca-customizations.py" "$XDG_DATA_HOME/orca/"
export PYTHONPATH="$(cd "$(dirname "$0")/orca" && pwd)${PYTHONPATH:+:$PYTHONPATH}"

kv_start_accessibility_bus

said=""
orca_starts=0
# Orca is stopped first, by its PID: a hung Orca ignores SIGTERM, so after a grace period
# it is killed. KV_ORCA_LOG=FILE keeps its whole log there, for a look at what it did.
orca_pid=""
stop_orca() {
    [ -n "$orca_pid" ] || return 0
    kill -TERM "$orca_pid" 2>/dev/null || true
    for _ in $(seq 30); do kill -0 "$orca_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$orca_pid" 2>/dev/null || true
    wait "$orca_pid" 2>/dev/null || true
    orca_pid=""
}
trap 'stop_orca; [ -z "${KV_ORCA_LOG:-}" ] || cat "$KV_TMP"/orca-*.log >"$KV_ORCA_LOG" 2>/dev/null; kv_cleanup' EXIT
# It listens once its key listener is registered and its registry runs.
listening() {
    grep -q "registering keystroke listener" "$said" 2>/dev/null &&
        grep -q "ORCA: Starting ATSPI registry" "$said" 2>/dev/null
}
start_orca() {
    said="$KV_TMP/orca-$((++orca_starts)).log"
    orca --debug-file="$said" >>"$KV_TMP/orca.out" 2>&1 &
    orca_pid=$!
    for _ in $(seq 150); do
        listening && break
        kill -0 "$orca_pid" 2>/dev/null || break
        sleep 0.1
    done
    listening || { tail -n 20 "$KV_TMP/orca.out"; echo "orca did not start"; exit 77; }
    grep -q "nullspeech\|Null speech" "$said" || fail "Orca did not take the silent speech server"
}
start_orca
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

prog="$KV_TMP/prog"
kv_program_folder "$prog"
shown="$prog/Conexiones"
mkdir -p "$shown" "$prog/Equipos"
kv_figure "$shown/cable.bmp" 40 30 00ff00 0000ff
kv_figure "$shown/Red.Bmp" 40 30 0000ff ff0000
echo "no es una figura" >"$shown/roto.bmp"
# "señal.bmp" as an older Spanish system wrote it: Windows-1252, not UTF-8.
kv_figure "$shown/$(printf 'se\xf1al.bmp')" 40 30 ff0000 00ff00

# What Orca said since the last mark, one utterance a line.
mark=0
heard() { tail -n +$((mark + 1)) "$said" | grep -a "SPEECH OUTPUT: '" | sed -E "s/^.*SPEECH OUTPUT: '//; s/'(\\{.*| voice=.*)?$//" || true; }
# press KEYS...: presses them, then waits until Orca has been quiet for half a second.
press() {
    mark=$(wc -l <"$said")
    xdotool key --delay 150 "$@"
    settle
}
settle() {
    local size=-1 quiet=0
    for _ in $(seq 60); do
        sleep 0.1
        if [ "$(wc -c <"$said")" = "$size" ]; then
            quiet=$((quiet + 1))
            [ $quiet -ge 5 ] && return 0
        else
            size=$(wc -c <"$said")
            quiet=0
        fi
    done
}
# expect WHAT PATTERN: what was heard since the mark matches the (extended) pattern;
# refuse WHAT PATTERN: it does not. A miss is told at once and fails the test at its end.
missed=()
expect() {
    heard | grep -Eq -- "$2" && return 0
    missed+=("$1: Orca said [$(heard | paste -sd '|')], not /$2/")
    echo "MISSED: ${missed[-1]}"
}
refuse() {
    heard | grep -Eq -- "$2" || return 0
    missed+=("$1: Orca said [$(heard | paste -sd '|')], with /$2/")
    echo "MISSED: ${missed[-1]}"
}
said_once() {
    [ "$(heard | grep -Ec -- "$2")" = 1 ] && return 0
    missed+=("$1: Orca said [$(heard | paste -sd '|')], not once /$2/")
    echo "MISSED: ${missed[-1]}"
}
transcript() { echo "--- $1:"; heard | sed 's/^/    /'; }

# A second drive, where a private mount namespace can be made (root, loop devices): an
# ext4 image mounted under a private tmpfs on the media folder, seen by the program only.
source "$KV_SOURCE/tools/servers.sh"
point=""
media=""
for d in /media /mnt; do [ -d "$d" ] && { media=$d; break; }; done
if [ "$(id -u)" = 0 ] && [ -e /dev/loop-control ] && [ -n "$media" ] && (private_mounts true) 2>/dev/null &&
    mkfs.ext4 -q -F "$KV_TMP/stick.img" 8M >/dev/null 2>&1; then
    point="$media/kv-orca-$$"
fi

start_program() {
    mark=$(wc -l <"$said")
    if [ -n "$point" ]; then
        kv_start private_mounts sh -c "mount -t tmpfs kv-orca '$media' && mkdir -p '$point' &&
                                     mount -o loop '$KV_TMP/stick.img' '$point' && exec '$prog/Kelvar500'"
    else
        kv_start "$prog/Kelvar500"
    fi
    win=$(kv_wait_window "Kelvaria 500") || fail "no main window"
    settle
}
cd "$KV_TMP"
[ -n "$point" ] || echo "(no second drive here: the drive list's Up and Down are not heard)"
settle # (Orca done with its own start: until then it may miss the program's first window)
start_program
# Now and then Orca, just started, hears nothing at all (its log stops): once, Orca and
# the program are started again.
if ! heard | grep -q "Kelvaria 500"; then
    echo "(Orca heard nothing of the program's first window: Orca and the program once more)"
    kill -TERM "$KV_PID"
    kv_wait_exit "$KV_PID" 5 || fail "SIGTERM did not end the program"
    stop_orca
    start_orca
    settle
    start_program
fi
transcript "start"
expect "the start" "Kelvaria 500"

# Into the folder list: the list, then the open folder with its level.
press Tab
transcript "Tab into the folder list"
expect "entering the folder list" "Seleccione categoría con doble click"
expect "entering the folder list (the open folder)" "^$(basename "$prog")\b.*|nivel [0-9]+, abierta"
press Down Return
transcript "a folder opened"
expect "a folder opened" "Conexiones"
expect "a folder opened" "abierta"

# The drive list: its drive on focus, on "where am I", in its pop-up and as it changes.
press Tab
transcript "Tab into the drive list"
expect "entering the drive list" "1\.-Ubicación"
expect "entering the drive list (the drive)" "^/(\. |$)"
press KP_Enter
transcript "where am I in the drive list"
expect "where am I in the drive list" "^/(\. |$)"
press alt+Down
transcript "the drive list's pop-up"
expect "the drive list's pop-up (its row)" "^/$"
press Escape
if [ -n "$point" ]; then
    press Down
    transcript "Down in the drive list"
    expect "Down in the drive list" "^$point/(\. |$)"
    press Up
    expect "Up in the drive list" "^/(\. |$)"
fi

# The file list: the first Down in a fresh list says the first figure.
press Tab Tab
transcript "Tab into the file list"
expect "entering the file list" "Haga click una vez sobre el nomber de la figura"
press Down
transcript "the first Down"
expect "the first Down in a fresh file list" "^cable\.bmp"
press Down Down
transcript "a file that is no picture"
expect "the error box" "Error '481'"
press Return
transcript "the error box closed"
expect "back from the error box" "roto\.bmp"
press Up
expect "Up after the error box" "^Red\.Bmp"

# The picture box (Tab index 0, four back from the file list): Return opens the figure
# window, heard by its title (name, size, zoom); a zoom step is heard; Escape goes back.
press shift+Tab shift+Tab shift+Tab shift+Tab
press Return
transcript "the figure window opened"
expect "the figure window opened" "Red\.Bmp \(40 × 30\) 100 %"
press plus
transcript "a zoom step"
expect "a zoom step" "^150"
press Escape
press Tab Tab Tab Tab
transcript "back in the file list"
expect "back in the file list" "Red\.Bmp"

# F5 in the file list: nothing of the folder list, and "where am I" still in the file list.
press F5
transcript "F5 in the file list"
refuse "F5 in the file list" "Conexiones|nivel [0-9]|abierta|expandido"
press KP_Enter
transcript "where am I after F5"
expect "where am I after F5" "Red\.Bmp"
refuse "where am I after F5" "Conexiones"

# A figure saved into the folder: nothing is said, and "where am I" still answers.
mark=$(wc -l <"$said")
kv_figure "$shown/nueva.bmp" 40 30 808080 101010
sleep 1.2
settle
transcript "a figure written into the folder"
refuse "a figure written into the folder" "."
press KP_Enter
transcript "where am I after the folder changed"
expect "where am I after the folder changed" "Red\.Bmp"
# The chosen figure taken away: the focus goes, said once, to the row in its place.
mark=$(wc -l <"$said")
rm "$shown/Red.Bmp"
sleep 1.2
settle
transcript "the chosen figure taken away"
said_once "the row in the place of the figure taken away" "^roto\.bmp"
press KP_Enter
expect "where am I after the figure went" "roto\.bmp"

# The name that is not UTF-8, read as the list shows it.
press End
transcript "the last figure"
expect "a name written in Windows-1252" "^señal\.bmp"

# "Ayuda" (Copia, Imprimir, Ayuda) reads its sheet; then Salir opens the company window.
press Tab Tab Tab space
transcript "Ayuda"
expect "the help window" "Ante cualquier duda o problema"
xdotool windowactivate --sync "$win" 2>/dev/null || true
press Tab
expect "Salir" "Salir"
press space
transcript "the company window"
expect "the company window" "Gracias por su continuo apoyo"
press Tab space
kv_wait_exit "$KV_PID" 5 || fail "the company window's Cerrar did not end the program"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS"
[ ${#missed[@]} = 0 ] || fail "$(printf '%s\n' "${missed[@]}")"
echo "ok: Orca hears the open folder on entering the folder list, the drive, the first figure, the error" \
    "box and back, nothing of the folder list after F5, a working \"where am I\" after the folder changed," \
    "a name in Windows-1252, the help sheet and the company window"
