#!/usr/bin/env bash
# Builds and runs every benchmark. Each prints ours beside its floor measured in the
# same run, the ratio and the target. Uses the test command's private X and print
# servers, so the print figure goes through a real print queue.
#   bench/run.sh [reader] [program] [startup] [viewers] [copy] [figure] [window] [browse]
#                [thumbnails]                                   (all when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(reader program startup viewers copy figure window browse thumbnails)
wants() { [[ " ${sections[*]} " == *" $1 "* ]]; }

# The viewers compared with (feh, nsxiv), the headers of X's DAMAGE extension, which the
# timing tools watch, and of its XTEST extension, through which bench/xpress clicks and
# presses keys: for the benchmarks only, not for the tests.
bench_packages=(feh nsxiv libxdamage-dev libxtst-dev)
missing=()
for p in "${bench_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
tools/setup.sh --tests >/dev/null
# The Spanish order of the C library, the floor of the lists of Spanish names.
if ! locale -a 2>/dev/null | grep -qix 'es_ES.utf8'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo localedef -i es_ES -f UTF-8 es_ES.UTF-8
fi
cmake --build build --target Kelvar500 bench_bmp bench_program minimal_window xmaptime photofig xpaste bench_png \
    bench_figure xpress kelvar500-thumbnailer -j"$(nproc)" >/dev/null
source tools/servers.sh
start_servers kelvaria-bench
export DISPLAY="$KV_TEST_DISPLAY"
median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a/b}'; }
# forget PID: a process stopped and waited for is no longer stopped on the way out.
forget() {
    local keep=() p
    for p in "${pids[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
    pids=("${keep[@]}")
}
# main_window_at TRACE: once the program writing its start's trace to TRACE has painted
# its main window, prints that window's id and its top-left corner on the screen.
main_window_at() {
    local win=""
    for _ in $(seq 400); do grep -q ' painted$' "$1" && break; sleep 0.05; done
    win=$(xdotool search --onlyvisible --name '^Kelvaria 500$' 2>/dev/null | head -n 1)
    [ -n "$win" ] || return 1
    echo "$win $(xwininfo -id "$win" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} END{print x, y}')"
}

if wants reader; then
    echo "== LoadPicture on bitmaps against its floors, and Qt's reader (medians, warm file cache) =="
    QT_QPA_PLATFORM=offscreen build/bin/bench_bmp 2>/dev/null
    echo
fi

if wants program; then
    echo "== The program: big folders, click to picture, print, memory =="
    QT_QPA_PLATFORM=offscreen build/bin/bench_program 2>/dev/null
    echo
fi

if wants startup; then
    echo "== Start-up: process start to the main window mapped, lists filled (median of 20) =="
    ours=$(for _ in $(seq 20); do build/bin/xmaptime "Kelvaria 500" build/bin/Kelvar500; done 2>/dev/null | median)
    floor=$(for _ in $(seq 20); do build/bin/xmaptime minimal build/bin/minimal_window; done 2>/dev/null | median)
    label=$(for _ in $(seq 20); do build/bin/xmaptime minimal build/bin/minimal_window --label; done 2>/dev/null | median)
    printf "%-34s %10s %10s %7s  %-3s %s\n" "figure" "ours" "floor" "ratio" "" "target"
    printf "%-34s %10.1f %10.1f %7s  %-3s %s\n" "start-up to window mapped" "$ours" "$floor" "$(ratio "$ours" "$floor")" \
        ms "<= 1.5x (a minimal Qt window)"
    printf "%-34s %10.1f %10.1f %7s  %-3s %s\n" "  against a window with a label" "$ours" "$label" \
        "$(ratio "$ours" "$label")" ms "(for comparison: the font system started too)"
    echo
fi

if wants viewers; then
    runs=${KV_BENCH_RUNS:-15}
    # Each viewer is started as a file manager starts it, with the figure's path, and
    # timed by the same tool (bench/xmaptime --picture): when its window maps, and when
    # that window first shows the figure (a figure of one colour). The programs take
    # turns, run by run, so that the machine's load falls alike on all. Ours runs from a
    # program folder laid out as the package lays it out. It all runs twice: on the
    # machine as it is, and with a plain busy loop beside it (one thread, so one core
    # taken), since a desktop is rarely idle.
    v="$work/viewers"
    mkdir -p "$v/prog" "$v/figuras" "$v/home"
    cp build/bin/Kelvar500 "$v/prog/"
    cp -r src/resources/samples/. "$v/prog/"
    convert -size 4000x4000 xc:'#c83c14' -type TrueColor "BMP3:$v/figuras/16mp.bmp"
    convert -size 1000x1000 xc:'#c83c14' -type TrueColor "BMP3:$v/figuras/1mp.bmp"
    timed() { HOME="$v/home" XDG_CACHE_HOME="$v/home" build/bin/xmaptime --picture c83c14 '*' "$@"; }
    col() { awk -v c="$2" '{print $c}' "$v/$1.txt" | median; }
    slowest() { awk -v c="$2" '{print $c}' "$v/$1.txt" | sort -n | tail -n 1; }
    # step SIZE NAME [NTH]: the median time of a step; NTH 1 or 2 picks the first or the
    # second of a step that each start takes twice (Dir1.Change: the program's folder,
    # then the figure's).
    step() { awk -v s="$2" -v n="${3:-0}" '$3 == s && (n == 0 || (++c - 1) % 2 + 1 == n) {print $2}' \
        "$v/$1-steps.txt" | median; }
    row() { printf "%-40s %9.1f %9.1f %7s  %-3s %s\n" "$1" "$2" "$3" "$(ratio "$2" "$3")" ms "$4"; }
    viewers() { # viewers CONDITION: the runs, then their tables (files CONDITION-SIZE-WHO.txt)
        local cond=$1 size fig round out viewer floor_of
        # Round by round, both figures: a load that comes and goes falls alike on both.
        for round in warm $(seq "$runs"); do
            for size in 16mp 1mp; do
                fig="$v/figuras/$size.bmp"
                out=/dev/null
                for viewer in ours feh nsxiv; do
                    [ "$round" = warm ] || out="$v/$cond-$size-$viewer.txt"
                    case $viewer in
                    ours) # with the trace of its start's steps, for where the time goes
                        KV_TRACE_START=1 timed "$v/prog/Kelvar500" "$fig" >>"$out" 2>"$v/trace"
                        [ "$round" = warm ] || grep '^start ' "$v/trace" >>"$v/$cond-$size-steps.txt" ;;
                    *) timed "$viewer" "$fig" >>"$out" 2>/dev/null ;;
                    esac
                done
                # The floors: an empty Qt window mapped; the same painted in the figure's
                # colour; painted with one line of text on it, the least that shows a
                # caption (the font system starts); and a window with the widgets the
                # main window must have, its picture box painted in the figure's colour.
                [ "$round" = warm ] || out="$v/$cond-$size-minimal.txt"
                build/bin/xmaptime minimal build/bin/minimal_window 2>/dev/null >>"$out"
                for floor_of in painted text controls; do
                    [ "$round" = warm ] || out="$v/$cond-$size-$floor_of.txt"
                    case $floor_of in
                    painted) timed build/bin/minimal_window --painted 2>/dev/null >>"$out" ;;
                    text) timed build/bin/minimal_window --painted --label 2>/dev/null >>"$out" ;;
                    controls) timed build/bin/minimal_window --controls 2>/dev/null >>"$out" ;;
                    esac
                done
            done
        done
        printf "%-10s %-8s %12s %12s %12s %12s\n" "figure" "viewer" "mapped ms" "shown ms" "counted ms" "slowest ms"
        for size in 16mp 1mp; do
            for viewer in ours feh nsxiv; do
                mapped=$(col "$cond-$size-$viewer" 1)
                shown=$(col "$cond-$size-$viewer" 2)
                # Ours maps its window first and paints the figure later: it counts when
                # the figure is on screen. feh and nsxiv decode first and map after (their
                # map time grows with the figure): they count when their window maps.
                counted=$mapped worst=$(slowest "$cond-$size-$viewer" 1)
                [ "$viewer" = ours ] && counted=$shown worst=$(slowest "$cond-$size-$viewer" 2)
                printf "%-10s %-8s %12.1f %12.1f %12.1f %12.1f\n" "$size" "$viewer" "$mapped" "$shown" "$counted" "$worst"
                eval "counted_${size}_$viewer=$counted"
            done
            printf "%-10s %-8s %12.1f %12s %12s\n" "$size" "empty Qt" "$(col "$cond-$size-minimal" 1)" "" ""
            printf "%-10s %-8s %12.1f %12.1f %12s\n" "$size" "Qt paint" "$(col "$cond-$size-painted" 1)" \
                "$(col "$cond-$size-painted" 2)" ""
            printf "%-10s %-8s %12.1f %12.1f %12s\n" "$size" "Qt text" "$(col "$cond-$size-text" 1)" \
                "$(col "$cond-$size-text" 2)" ""
            printf "%-10s %-8s %12.1f %12.1f %12s\n" "$size" "Qt ctrls" "$(col "$cond-$size-controls" 1)" \
                "$(col "$cond-$size-controls" 2)" ""
        done
        echo
        echo "Where our time goes (medians of the start's steps, ms since the process started):"
        printf "%-32s %10s %10s\n" "step" "16mp" "1mp"
        while read -r key nth label; do
            printf "%-32s %10.1f %10.1f\n" "$label" "$(step "$cond-16mp" "$key" "$nth")" "$(step "$cond-1mp" "$key" "$nth")"
        done <<'STEPS'
main         0 main entered (process, libraries)
fonts        0 fonts read ahead (own thread)
picture      0 figure read ahead (own thread)
qt           0 Qt up (QApplication)
Form1.Load   0 main window built (Load runs)
Dir1.Change  1 lists on the program folder
shown        0 window shown
Dir1.Change  2 lists on the figure's folder
File1.Click  0 the figure clicked
opened       0 figure decoded and set
painted      0 first painting sent
STEPS
        echo
        fastest=$(printf '%s\n' "$counted_16mp_feh" "$counted_16mp_nsxiv" | sort -n | head -n 1)
        # The same floors, to the 1 MP runs: the Qt windows' figure (or picture box) on
        # screen, and the empty window's map.
        empty=$(col "$cond-1mp-minimal" 1) text=$(col "$cond-1mp-text" 2) controls=$(col "$cond-1mp-controls" 2)
        printf "%-40s %9s %9s %7s  %-3s %s\n" "target ($cond)" "ours" "floor" "ratio" "" "target"
        row "16 MP, against our own 1 MP" "$counted_16mp_ours" "$counted_1mp_ours" "<= 1.05 (size costs nothing)"
        row "16 MP, against the fastest viewer" "$counted_16mp_ours" "$fastest" "< 1.00 (feh, nsxiv)"
        row "1 MP, against the Qt window with text" "$counted_1mp_ours" "$text" "<= 1.10 (its picture on screen)"
        row "1 MP, against the Qt window with ctrls" "$counted_1mp_ours" "$controls" \
            "(the floor: Qt's cost for the main window's widgets)"
        row "  Qt window with ctrls, against text" "$controls" "$text" "(what those widgets cost in Qt)"
        row "1 MP, against an empty Qt window" "$counted_1mp_ours" "$empty" "<= 1.20 (its time to map)"
        echo
    }
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    echo "== Double-click to picture: process start to the figure on screen, against feh and nsxiv (median of $runs) =="
    viewers quiet
    echo "== The same, with a plain busy loop beside it (one thread: one core taken) =="
    (while :; do :; done) &
    busy=$!
    pids+=("$busy") # stopped on the way out too, should a run fail
    viewers busy
    kill "$busy"
    wait "$busy" 2>/dev/null || true
    echo "(load average before the runs: $load; after: $(cut -d' ' -f1-3 /proc/loadavg))"
    echo
fi

if wants copy; then
    echo "== Copy to paste: \"Copia\" on photograph-like figures, then pastes as PNG and as BMP =="
    # Each figure is opened from the command line, copied with a click on "Copia", and
    # pasted by the tests' paste tool (tests/e2e/xpaste.c) as a program that pastes asks: first as
    # image/png at once (it may wait for the encoding), then image/png again (while
    # another connection keeps asking for the TARGETS: the longest the viewer's event loop
    # was held), then as image/bmp, the same pixels in the format Qt sends without
    # compressing: the X transfer floor. "Copia" is timed from the click to the first
    # answer of the new clipboard owner. Memory: resident on the figure shown, and the
    # peak (VmHWM) after the PNG pastes. KV_BENCH_HUGE=1 adds the largest figure the
    # reader takes (16,384 x 16,384; PNG pastes and memory only).
    c="$work/copy"
    mkdir -p "$c/prog" "$c/figuras"
    cp build/bin/Kelvar500 "$c/prog/"
    sizes="1000x1000 4000x4000 8000x8000"
    [ -n "${KV_BENCH_HUGE:-}" ] && sizes="$sizes 16384x16384"
    now() { date +%s%N; }
    ms_since() { awk -v a="$1" -v b="$(now)" 'BEGIN{printf "%.1f", (b - a) / 1e6}'; }
    kib() { awk -v k="$2" '$1 == k":" {print $2}' "/proc/$1/status"; }
    printf "%-8s %8s %9s %9s %9s %7s %9s %8s %9s %9s\n" "figure" "Copia ms" "PNG 1st" "PNG ms" "BMP ms" \
        "ratio" "worst gap" "PNG MB" "shown MB" "peak MB"
    for size in $sizes; do
        w=${size%x*} h=${size#*x}
        mp=$(( (w * h + 500000) / 1000000 ))
        fig="$c/figuras/${mp}mp.bmp"
        build/bin/photofig "$fig" "$w" "$h"
        cat "$fig" >/dev/null # in the file cache, as a figure just looked at
        "$c/prog/Kelvar500" "$fig" >"$c/log" 2>&1 &
        pid=$!
        win=$(xdotool search --sync --onlyvisible --name '^Kelvaria 500$' | head -n 1)
        read -r wx wy < <(xwininfo -id "$win" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} END{print x, y}')
        # Shown: its pixels are in memory; a second more to paint them.
        xdotool mousemove $((wx + 200)) $((wy + 368)) sleep 0.3
        until [ "$(kib "$pid" VmRSS)" -gt $((w * h * 3 / 1024)) ]; do sleep 0.1; done
        sleep 1
        shown=$(kib "$pid" VmRSS)
        t0=$(now)
        xdotool click 1
        until build/bin/xpaste TARGETS "$c/targets" >/dev/null 2>&1 && grep -q . "$c/targets"; do :; done
        copy_ms=$(ms_since "$t0")
        read -r first bytes < <(build/bin/xpaste image/png "$c/paste.png" | tail -n 1)
        read -r second _ gap < <(build/bin/xpaste image/png /dev/null --probe | tail -n 1)
        png=$second
        if [ "$w" -le 8000 ]; then
            png=$( (echo "$second"; for _ in 1 2; do build/bin/xpaste image/png /dev/null | tail -n 1 | cut -d' ' -f1; done) | median)
        fi
        peak=$(kib "$pid" VmHWM)
        bmp=-
        if [ "$w" -le 8000 ]; then
            bmp=$(for _ in 1 2 3; do build/bin/xpaste image/bmp /dev/null | tail -n 1 | cut -d' ' -f1; done | median)
        fi
        if [ "$w" -le 1000 ]; then
            [ "$(compare -metric AE "$fig" "$c/paste.png" null: 2>&1)" = 0 ] || echo "the pasted PNG differs from the figure!"
        fi
        kill "$pid"
        wait "$pid" 2>/dev/null || true
        r=-
        [ "$bmp" != - ] && r=$(ratio "$png" "$bmp")
        printf "%-8s %8.1f %9.1f %9.1f %9s %7s %9.1f %8.1f %9.1f %9.1f\n" "${mp} MP" "$copy_ms" "$first" "$png" "$bmp" "$r" "$gap" \
            "$(awk -v b="$bytes" 'BEGIN{print b / 1048576}')" "$(awk -v k="$shown" 'BEGIN{print k / 1024}')" \
            "$(awk -v k="$peak" 'BEGIN{print k / 1024}')"
        rm -f "$fig" "$c/paste.png"
    done
    echo "(PNG ms: median of three pastes after the first (16,384 x 16,384: the second); BMP ms: median of three;"
    echo " ratio: PNG against BMP, target <= 1.5; worst gap: the longest answer to TARGETS during the second"
    echo " PNG paste; peak MB: VmHWM, target <= 1.3 x (the figure's pixels + its PNG))"
    echo
    build/bin/photofig "$c/figuras/16mp.bmp" 4000 4000
    QT_QPA_PLATFORM=offscreen build/bin/bench_png "$c/figuras/16mp.bmp" 2>/dev/null
    rm -f "$c/figuras/16mp.bmp"
    echo
fi

if wants figure; then
    echo "== The figure window's engine, in process: a gigapixel figure opened, drawn exact and panned =="
    # Its figures (a sparse 3 GiB file among them) in the work folder, which goes at the end
    # whatever happens.
    mkdir -p "$work/figure"
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    QT_QPA_PLATFORM=offscreen build/bin/bench_figure "$work/figure" 2>/dev/null
    echo "(load average before: $load; after: $(cut -d' ' -f1-3 /proc/loadavg))"
    echo
fi

if wants window; then
    runs=${KV_BENCH_RUNS:-15}
    giga_runs=5
    # The figure window opened as a user opens it: the program started on the figure, its
    # main window painted, a second's pause (meanwhile an ordinary figure is read whole in
    # the background), then a double-click on the picture box. Ours counts from the
    # double-click (bench/xpress gives the moment just before it) to the figure window's
    # first picture and to its exact picture, as the program traces them (KV_TRACE_FIGURE,
    # on the same clock). feh and nsxiv count as in the viewers section: from their start
    # to their window mapped (they decode first and map after). The gigapixel figure is
    # sparse (bench/photofig --sparse: 3 GiB, its holes black); a viewer that fails on it,
    # or has not mapped after a minute (then ended, and not tried again), is recorded so.
    w="$work/window"
    mkdir -p "$w/prog" "$w/figuras" "$w/home"
    cp build/bin/Kelvar500 "$w/prog/"
    cp -r src/resources/samples/. "$w/prog/"
    convert -size 4000x4000 xc:'#c83c14' -type TrueColor "BMP3:$w/figuras/16mp.bmp"
    build/bin/photofig --sparse "$w/figuras/1gp.bmp" 32768 32768 c83c14
    cat "$w/figuras/16mp.bmp" "$w/figuras/1gp.bmp" >/dev/null # in the file cache, holes too
    # ours FIGURE: one opening; prints "FIRST EXACT", ms from the double-click, or "failed".
    ours() {
        local pid win wx wy t0
        HOME="$w/home" KV_TRACE_FIGURE=1 KV_TRACE_START=1 "$w/prog/Kelvar500" "$1" 2>"$w/trace" &
        pid=$!
        pids+=("$pid")
        if read -r win wx wy < <(main_window_at "$w/trace"); then
            sleep 1
            t0=$(build/bin/xpress click $((wx + 280)) $((wy + 192)) 2)
            for _ in $(seq 1200); do grep -q '^figure .* exact$' "$w/trace" && break; sleep 0.05; done
        fi
        kill "$pid"
        wait "$pid" 2>/dev/null || true
        forget "$pid"
        awk -v t0="${t0:-0}" '$1 == "figure" && $3 == "first" {f = $2 - t0} $1 == "figure" && $3 == "exact" {e = $2 - t0}
            END {if (e && t0) printf "%.1f %.1f\n", f, e; else print "failed"}' "$w/trace"
    }
    # peer VIEWER FIGURE [COLOUR]: one start; prints the ms to its window mapped, "failed"
    # (it ended without a window) or "timedout". With the colour, it waits for the figure
    # shown too, as the viewers section does.
    peer() {
        local status=0 out
        out=$(HOME="$w/home" XDG_CACHE_HOME="$w/home" build/bin/xmaptime --timeout 60 ${3:+--picture "$3"} '*' \
            "$1" "$2" 2>/dev/null) || status=$?
        case $status in
        0) echo "${out%% *}" ;;
        124) echo timedout ;;
        *) echo failed ;;
        esac
    }
    for round in warm $(seq "$runs"); do
        for who in ours feh nsxiv; do
            out=/dev/null
            [ "$round" = warm ] || out="$w/16mp-$who.txt"
            case $who in
            ours) ours "$w/figuras/16mp.bmp" >>"$out" ;;
            *) peer "$who" "$w/figuras/16mp.bmp" c83c14 >>"$out" ;;
            esac
        done
    done
    for round in $(seq "$giga_runs"); do
        ours "$w/figuras/1gp.bmp" >>"$w/1gp-ours.txt"
        for who in feh nsxiv; do
            grep -q timedout "$w/1gp-$who.txt" 2>/dev/null || peer "$who" "$w/figuras/1gp.bmp" >>"$w/1gp-$who.txt"
        done
    done
    # A column's median over the runs that gave a time; "-" when none did.
    col() { awk -v c="$2" '$1 ~ /^[0-9.]+$/ {print $c}' "$w/$1.txt" | { grep . || echo -; } | median; }
    slowest() { awk -v c="$2" '$1 ~ /^[0-9.]+$/ {print $c}' "$w/$1.txt" | sort -n | tail -n 1; }
    outcome() { # how the runs went: "15 of 15", or with those that failed or timed out
        awk '{n++} $1 == "failed" {f++} $1 == "timedout" {t++}
            END {printf "%d of %d", n - f - t, n; if (f) printf ", %d failed", f; if (t) printf ", %d timed out", t}' "$w/$1.txt"
    }
    echo "== The figure window: double-click on the picture box to the figure, against feh and nsxiv started on it =="
    printf "%-8s %-7s %10s %10s %11s  %s\n" "figure" "viewer" "first ms" "exact ms" "slowest ms" "runs with a time"
    for size in 16mp 1gp; do
        printf "%-8s %-7s %10s %10s %11s  %s\n" "$size" ours "$(col "$size-ours" 1)" "$(col "$size-ours" 2)" \
            "$(slowest "$size-ours" 2)" "$(outcome "$size-ours")"
        for who in feh nsxiv; do
            printf "%-8s %-7s %10s %10s %11s  %s\n" "$size" "$who" "$(col "$size-$who" 1)" "" \
                "$(slowest "$size-$who" 1)" "$(outcome "$size-$who")"
        done
    done
    echo "(ours: from the double-click to the first picture and to the exact one; feh, nsxiv: from their start"
    echo " to their window mapped, the figure decoded; slowest: ours exact, theirs mapped)"
    fastest=$(printf '%s\n' "$(col 16mp-feh 1)" "$(col 16mp-nsxiv 1)" | grep -v '^-$' | sort -n | head -n 1 || true)
    printf "%-40s %9s %9s %7s  %-3s %s\n" "target" "ours" "floor" "ratio" "" "target"
    if [ -n "$fastest" ] && [ "$(col 16mp-ours 1)" != - ]; then
        row() { printf "%-40s %9.1f %9.1f %7s  %-3s %s\n" "$1" "$2" "$3" "$(ratio "$2" "$3")" ms "$4"; }
        row "16 MP first picture, against the fastest" "$(col 16mp-ours 1)" "$fastest" "< 1.00 (feh, nsxiv)"
        row "16 MP exact picture, against the fastest" "$(col 16mp-ours 2)" "$fastest" "< 1.00 (feh, nsxiv)"
    else
        echo "16 MP: no time from ours or from either viewer to compare"
    fi
    echo
fi

if wants browse; then
    # Down held in the file list through a folder of 30 photograph-like figures of 16 to 64
    # megapixels (uncompressed 24-bit, 3.4 GB in all, each with its top rows, the corner
    # the picture box shows, in a colour of its own), the X server repeating the key 30
    # times a second after 250 ms, as `xset r rate 250 30` sets it; then the same with 30
    # presses 33 ms apart. bench/xpress holds or presses the key, notes each press the main
    # window gets, and watches the picture box for each figure's colour: a figure counts
    # when it was painted before the next press came (the last, within 33 ms of its own).
    # Each run starts the program afresh on the folder, the file list given the focus with
    # Tab, nothing chosen: the first press chooses the first figure. The program's trace
    # (KV_TRACE_START, on the same clock with KV_STARTED_AT=0) gives each File1.Click.
    b="$work/browse"
    mkdir -p "$b/prog" "$b/figuras" "$b/home"
    cp build/bin/Kelvar500 "$b/prog/"
    colours=()
    for i in $(seq 30); do
        side=$((4000 + (i - 1) * 4000 / 29))
        # A hue of its own, 12 degrees from the last, bright and saturated.
        colour=$(awk -v h="$(((i - 1) * 12))" 'BEGIN {
            v = 217; d = h / 60 % 2 - 1; x = int(v * (d < 0 ? 1 + d : 1 - d)); s = int(h / 60)
            r = s == 0 || s == 5 ? v : s == 1 || s == 4 ? x : 0
            g = s == 1 || s == 2 ? v : s == 0 || s == 3 ? x : 0
            b = s == 3 || s == 4 ? v : s == 2 || s == 5 ? x : 0
            printf "%02x%02x%02x", r, g, b }')
        colours+=("$colour")
        build/bin/photofig "$b/figuras/f$(printf %02d "$i").bmp" "$side" "$side" "$i" "$colour"
    done
    echo "== Down held through a folder of 30 figures of 16 to 64 MP: each painted before the next key? =="
    printf "%-28s %8s %11s %11s %10s %7s\n" "run" "painted" "key to box" "slowest ms" "repeat ms" "clicks"
    all=0 total=0
    for mode in hold press; do
        for run in 1 2 3; do
            HOME="$b/home" KV_TRACE_START=1 KV_STARTED_AT=0 "$b/prog/Kelvar500" "$b/figuras" 2>"$b/trace" &
            pid=$!
            pids+=("$pid")
            : >"$b/keys"
            if read -r win wx wy < <(main_window_at "$b/trace"); then
                # The pointer on the window (the focus follows it: there is no window manager),
                # then the focus from the picture box to the file list.
                xdotool mousemove $((wx + 300)) $((wy + 40)) sleep 0.3 key --delay 100 Tab Tab Tab Tab sleep 0.5
                build/bin/xpress browse "$win" Down 30 33.3 "$mode" 186 192 189 "${colours[@]}" >"$b/keys" || true
            fi
            kill "$pid"
            wait "$pid" 2>/dev/null || true
            forget "$pid"
            clicks=$(grep -c ' File1\.Click$' "$b/trace" || true)
            # Figure i counts when its colour showed after its key and before the next one.
            awk '$1 == "key" {k[$2] = $3} $1 == "shown" {s[$2] = $3}
                END {
                    for (i = 1; i <= 30; i++) {
                        if (!(i in k) || !(i in s))
                            continue
                        next_key = (i + 1) in k ? k[i + 1] : k[i] + 33.3
                        printf "%d %.1f %.1f\n", (s[i] >= k[i] && s[i] < next_key), s[i] - k[i], (i > 2 ? k[i] - k[i - 1] : 0)
                    }
                }' "$b/keys" >"$b/figures"
            painted=$(awk '{p += $1} END {print p + 0}' "$b/figures")
            lag=$(awk '{print $2}' "$b/figures" | { grep . || echo -; } | median)
            worst=$(awk '{print $2}' "$b/figures" | sort -n | tail -n 1)
            gap=$(awk '{print $3}' "$b/figures" | sort -n | tail -n 1)
            label="held, 30 a second"
            [ "$mode" = press ] && label="pressed, 33 ms apart"
            printf "%-28s %5s/30 %11s %11s %10s %7s\n" "$label, run $run" "$painted" "$lag" "$worst" "$gap" "$clicks"
            all=$((all + painted)) total=$((total + 30))
        done
    done
    echo "(painted: figures painted in the picture box before the next key came; key to box: the median"
    echo " from a key to its figure in the box, slowest its slowest, ms; repeat: the longest between two"
    echo " keys from the third on, after the first repeat's delay; clicks: the File1.Click events traced)"
    printf "%-40s %9s %9s %7s  %-3s %s\n" "target" "ours" "floor" "ratio" "" "target"
    printf "%-40s %9d %9d %7s  %-3s %s\n" "figures painted before the next key" "$all" "$total" \
        "$(ratio "$all" "$total")" "" "= 1.00 (every one)"
    rm -rf "$b/figuras"
    echo
fi

if wants thumbnails; then
    runs=${KV_BENCH_RUNS:-15}
    echo "== The thumbnailer as a file manager runs it: a process a figure (medians, warm file cache) =="
    t="$work/thumbnails"
    mkdir -p "$t"
    thumbnailer=build/bin/kelvar500-thumbnailer
    # ms COMMAND...: the milliseconds the command took (nothing when it failed).
    ms() {
        local a b
        a=$(date +%s%N)
        "$@" >/dev/null 2>&1 || return 0
        b=$(date +%s%N)
        awk -v d=$((b - a)) 'BEGIN{printf "%.1f\n", d / 1e6}'
    }
    # peak COMMAND...: its peak memory (resident), MB, and its exit status.
    peak() { /usr/bin/time -f '%M %x' "$@" 2>&1 >/dev/null | tail -n 1 | awk '{printf "%.1f MB, status %d", $1 / 1024, $2}'; }
    row() { printf "%-40s %9s %9s %7s  %-3s %s\n" "$@"; }
    row "figure" "ours" "floor" "ratio" "" "target"
    build/bin/photofig "$t/16mp.bmp" 4000 4000 >/dev/null
    cat "$t/16mp.bmp" >/dev/null
    ours=$(for _ in $(seq "$runs"); do ms "$thumbnailer" -s 256 "$t/16mp.bmp" "$t/ours.png"; done | median)
    gdk=$(for _ in $(seq "$runs"); do ms gdk-pixbuf-thumbnailer -s 256 "$t/16mp.bmp" "$t/gdk.png"; done | median)
    row "16 MP 24-bit at 256 px" "$ours" "$gdk" "$(ratio "$ours" "$gdk")" ms "<= 0.50x (gdk-pixbuf-thumbnailer)"
    echo "  peak memory: ours $(peak "$thumbnailer" -s 256 "$t/16mp.bmp" "$t/ours.png");" \
        "gdk-pixbuf-thumbnailer $(peak gdk-pixbuf-thumbnailer -s 256 "$t/16mp.bmp" "$t/gdk.png")"
    # A gigapixel figure with every byte on the drive (3 GiB, no holes), read from the file
    # cache; the floor reads it once into a buffer (1 MiB reads). Beside it a 1 megapixel
    # figure, what a gigapixel one costs more than that; both quiet, then with a plain
    # busy loop beside them (one core taken).
    build/bin/photofig "$t/1gp.bmp" 32768 32768 >/dev/null
    build/bin/photofig "$t/1mp.bmp" 1024 1024 >/dev/null
    cat "$t/1gp.bmp" "$t/1mp.bmp" >/dev/null
    for load in quiet busy; do
        if [ "$load" = busy ]; then
            (while :; do :; done) &
            busy=$!
            pids+=("$busy")
        fi
        read=$(for _ in 1 2 3 4 5; do ms dd if="$t/1gp.bmp" of=/dev/null bs=1M; done | median)
        ours=$(for _ in 1 2 3 4 5; do ms "$thumbnailer" -s 256 "$t/1gp.bmp" "$t/ours.png"; done | median)
        small=$(for _ in $(seq "$runs"); do ms "$thumbnailer" -s 256 "$t/1mp.bmp" "$t/ours.png"; done | median)
        row "1 GP 24-bit (3 GiB) at 256 px, $load" "$ours" "$read" "$(ratio "$ours" "$read")" ms "<= 2x (reading its file once)"
        row "  1 MP at 256 px, $load" "$small" "" "" ms "(the gigapixel: $(ratio "$ours" "$small")x its time)"
        [ "$load" = busy ] && { kill "$busy"; wait "$busy" 2>/dev/null || true; }
    done
    echo "  peak memory: 1 GP $(peak "$thumbnailer" -s 256 "$t/1gp.bmp" "$t/ours.png"); 1 MP $(peak "$thumbnailer" -s 256 "$t/1mp.bmp" "$t/ours.png")"
    rm -f "$t/1gp.bmp"
    # Hostile files: each must fail (status 1, no output) within 1 s and 256 MB.
    /usr/bin/python3 tests/e2e/rle_bomb.py "$t/bomb.bmp" 100000
    /usr/bin/python3 tests/e2e/rle_bomb.py "$t/limit.bmp" 16384
    mkfifo "$t/fifo.bmp"
    ln -s /dev/zero "$t/zero.bmp"
    head -c 1000000 "$t/16mp.bmp" >"$t/cut.bmp"
    for name in bomb limit fifo zero cut; do
        a=$(date +%s%N)
        status=0 && "$thumbnailer" -s 256 "$t/$name.bmp" "$t/$name.png" 2>/dev/null || status=$?
        b=$(date +%s%N)
        printf "  %-8s %7.1f ms, status %d, output %s, peak %s\n" "$name.bmp" "$(awk -v d=$((b - a)) 'BEGIN{print d / 1e6}')" \
            "$status" "$([ -e "$t/$name.png" ] && echo yes || echo none)" "$(peak "$thumbnailer" -s 256 "$t/$name.bmp" "$t/$name.png")"
    done
    echo
fi
