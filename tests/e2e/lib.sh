# Helpers for end-to-end tests that drive the real program under the test X server.
# Sourced by each test script; every process a test starts is stopped by PID.
set -euo pipefail

[ -n "${KV_TEST_DISPLAY:-}" ] || { echo "no test display (run through tools/test.sh)"; exit 77; }
export DISPLAY="$KV_TEST_DISPLAY"
unset QT_QPA_PLATFORM

KV_TMP=$(mktemp -d /tmp/kv-e2e.XXXXXX)
export XDG_RUNTIME_DIR="$KV_TMP/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
KV_PIDS=()

kv_cleanup() {
    local pid
    for pid in "${KV_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${KV_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$KV_TMP"
}
trap kv_cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    [ -s "${KV_LOG:-}" ] && { echo "--- the program's output:" >&2; cat "$KV_LOG" >&2; }
    exit 1
}

# kv_start PROGRAM [ARGS...]: starts the program; its PID in KV_PID.
kv_start() {
    KV_LOG="$KV_TMP/program-${#KV_PIDS[@]}.log"
    "$@" >"$KV_LOG" 2>&1 &
    KV_PID=$!
    KV_PIDS+=("$KV_PID")
}

# kv_wait_window NAME [SECONDS]: prints the id of the visible window with that name.
kv_wait_window() {
    local name=$1 limit=${2:-10} id=""
    local end=$((SECONDS + limit))
    while [ $SECONDS -lt "$end" ]; do
        id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# kv_geometry ID: prints "X Y WIDTH HEIGHT" of a window, absolute.
kv_geometry() {
    xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
                             /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}'
}

# kv_shot FILE: a screenshot of the whole screen.
kv_shot() { import -window root "$1"; }

# kv_pixel FILE X Y: the colour at a point as rrggbb.
kv_pixel() {
    convert "$1" -format "%[hex:p{$2,$3}]" info: | cut -c1-6 | tr 'A-F' 'a-f'
}

# kv_wait_exit PID [SECONDS]: waits for the process to end; its exit status in KV_STATUS.
# Fails when it is still running after that time.
kv_wait_exit() {
    local pid=$1 limit=${2:-10}
    local end=$((SECONDS + limit))
    while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt "$end" ]; do sleep 0.05; done
    kill -0 "$pid" 2>/dev/null && return 1
    KV_STATUS=0
    wait "$pid" || KV_STATUS=$?
    # The X server takes the windows of a program that ended away a moment later: until
    # then a search by name would find them, and the next start's window is another.
    while [ -n "$(xdotool search --pid "$pid" 2>/dev/null)" ] && [ $SECONDS -lt "$end" ]; do sleep 0.05; done
}

# kv_program_folder DIR: a program folder of the test's own: the program file, and
# whatever categories the test puts beside it.
kv_program_folder() {
    mkdir -p "$1"
    cp "$KV_BIN" "$1/Kelvar500"
}

# kv_figure FILE WIDTH HEIGHT FILL CORNER: a 24-bit BMP of FILL colour whose top-left
# 10 x 10 pixels are CORNER.
kv_figure() {
    convert -size "$2x$3" "xc:#$4" -fill "#$5" -draw 'rectangle 0,0 9,9' -type TrueColor "BMP3:$1"
}

# kv_click X Y [COUNT]: clicks (COUNT times, quickly: a double-click) at a screen point.
kv_click() {
    # (mousemove --sync waits for a motion that never comes when the pointer is there already)
    xdotool mousemove "$1" "$2" sleep 0.1 click --repeat "${3:-1}" --delay 60 1
}

# kv_first_row_with FILE X Y0 HEIGHT COLOUR: the first y in the column at X, from Y0 over
# HEIGHT pixels, whose colour is COLOUR (rrggbb); nothing when there is none.
kv_first_row_with() {
    convert "$1" -crop "1x$4+$2+$3" +repage txt:- |
        awk -v y0="$3" -v c="#$5" 'tolower($3) ~ tolower(c) { split($1, p, "[,:]"); print y0 + p[2]; exit }'
}

# kv_has_colour FILE WxH+X+Y COLOUR: whether the area holds a pixel of that colour.
kv_has_colour() {
    local colours
    colours=$(convert "$1" -crop "$2" +repage -format %c histogram:info:)
    grep -qi "#$3" <<<"$colours"
}

# kv_matching FILE COLOUR: how many pixels are within 12% of the colour (rrggbb).
kv_matching() {
    convert "$1" -alpha off -fuzz 12% -transparent "#$2" -alpha extract -negate -format '%[fx:round(mean*w*h)]' info:
}

# kv_windows NAME: how many visible windows have that name.
kv_windows() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l; }

# kv_spool_jobs: how many job documents the private print server holds.
kv_spool_jobs() { find "$KV_TEST_SPOOL" -maxdepth 1 -name 'd*' -type f | wc -l; }

# kv_wait_jobs N: waits until the print server holds N documents and its queue is empty.
kv_wait_jobs() {
    local end=$((SECONDS + 15))
    while [ $SECONDS -lt $end ]; do
        if [ "$(kv_spool_jobs)" -ge "$1" ] && [ -z "$(lpstat -o 2>/dev/null)" ]; then return 0; fi
        sleep 0.2
    done
    return 1
}

# kv_title_is ID TITLE: whether the window's title is TITLE exactly, both as the
# window manager's title bar reads it (_NET_WM_NAME) and as older tools do (WM_NAME).
kv_title_is() {
    local props
    props=$(xprop -id "$1" WM_NAME _NET_WM_NAME 2>/dev/null) || return 1
    [ "$(grep -cxF -e "WM_NAME(STRING) = \"$2\"" -e "WM_NAME(UTF8_STRING) = \"$2\"" \
        -e "_NET_WM_NAME(UTF8_STRING) = \"$2\"" <<<"$props")" = 2 ] || { echo "$props" >&2; return 1; }
}

# kv_expect_message MAIN_WINDOW NUMBER [SECONDS]: a message box for run-time error NUMBER
# appears beside the main window within SECONDS (1 by default); it is accepted with
# Enter and the main window has the focus again.
kv_expect_message() {
    local main=$1 number=$2 limit=${3:-1} box="" end
    end=$(($(date +%s%N) + limit * 1000000000))
    while [ "$(date +%s%N)" -lt "$end" ]; do
        box=$(xdotool search --onlyvisible --name "^Kelvaria 500\$" 2>/dev/null | grep -vx "$main" | head -n 1 || true)
        [ -n "$box" ] && break
        sleep 0.05
    done
    [ -n "$box" ] || { echo "no message within $limit s" >&2; return 1; }
    # The program writes each message on its standard error too, as it shows it.
    grep -o 'error [0-9]*:' "$KV_LOG" | tail -n 1 | grep -qx "error $number:" ||
        { echo "the message is not error $number" >&2; tail -n 3 "$KV_LOG" >&2; return 1; }
    for _ in 1 2 3 4 5; do
        xdotool windowactivate --sync "$box" key Return 2>/dev/null || true
        sleep 0.2
        [ "$(kv_windows "Kelvaria 500")" = 1 ] && break
    done
    [ "$(kv_windows "Kelvaria 500")" = 1 ] || { echo "the message did not go" >&2; return 1; }
    xdotool windowactivate --sync "$main" 2>/dev/null || true
    sleep 0.2
}

# kv_start_weston: a headless Wayland compositor of the test's own, its socket
# "kelvaria" in XDG_RUNTIME_DIR; no X display is used after it. Skips (77) where weston
# or Qt's Wayland plugin is missing.
kv_start_weston() {
    command -v weston >/dev/null || { echo "weston is not installed"; exit 77; }
    ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
        { echo "Qt's Wayland plugin (qt6-wayland) is not installed"; exit 77; }
    unset DISPLAY
    weston --backend=headless-backend.so --socket=kelvaria --idle-time=0 >"$KV_TMP/weston.log" 2>&1 &
    KV_PIDS+=($!)
    local weston_pid=$!
    for _ in $(seq 100); do
        [ -S "$XDG_RUNTIME_DIR/kelvaria" ] && break
        kill -0 "$weston_pid" 2>/dev/null || { cat "$KV_TMP/weston.log"; fail "weston did not start"; }
        sleep 0.05
    done
    [ -S "$XDG_RUNTIME_DIR/kelvaria" ] || fail "no Wayland socket"
}

# kv_package: the Debian package built from the build folder (cpack), its file in
# KV_DEB, unpacked (not installed: the machine stays as it was) into $KV_TMP/root.
kv_package() {
    cpack -G DEB -B "$KV_TMP/pkg" --config "$KV_BUILD/CPackConfig.cmake" >"$KV_TMP/cpack.log" 2>&1 ||
        { cat "$KV_TMP/cpack.log"; fail "cpack could not build the package"; }
    KV_DEB=$(ls "$KV_TMP"/pkg/kelvaria500_1.00_*.deb) || fail "no package file"
    dpkg-deb -x "$KV_DEB" "$KV_TMP/root"
}

# kv_rss_kib PID: the resident memory of a process, in KiB.
kv_rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# kv_le32 N / kv_le16 N: a number as 4 or 2 little-endian bytes, for writing file headers.
kv_le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
kv_le16() { printf "$(printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)))"; }

# kv_has_text_in FILE WxH+X+Y: whether text of the labels' light blue is drawn in the
# area: a good number of clearly bluish pixels (the text is smoothed, so its exact colour
# need not occur).
kv_has_text_in() {
    local n
    n=$(convert "$1" -crop "$2" +repage -depth 8 txt:- |
        awk -F'[(),]' 'NR > 1 && $5 - $3 > 40 && $5 > 200 {n++} END {print n + 0}')
    [ "$n" -gt 15 ]
}

# kv_start_accessibility_bus: the accessibility bus of this session (a session bus must
# run); without it no screen reader can listen. Skips (77) when it does not start.
KV_ATSPI_LAUNCHER=/usr/libexec/at-spi-bus-launcher
kv_start_accessibility_bus() {
    "$KV_ATSPI_LAUNCHER" --launch-immediately >"$KV_TMP/atspi.log" 2>&1 &
    KV_PIDS+=($!)
    local _
    for _ in $(seq 50); do
        dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
            >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    cat "$KV_TMP/atspi.log"
    echo "the accessibility bus did not start"
    exit 77
}
