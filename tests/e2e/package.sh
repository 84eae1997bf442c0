#!/usr/bin/env bash
# The program as Linux users install it: a valid desktop entry and AppStream metadata,
# a Debian package with its dependencies and files that Debian's checker accepts, a
# desktop that opens BMP files with it, and the packaged program starting from its own
# folder among its sample categories.
source "$(dirname "$0")/lib.sh"

linux="$KV_SOURCE/src/resources/linux"
desktop-file-validate "$linux/com.tramonte.Kelvaria500.desktop" || fail "desktop entry not valid"
appstreamcli validate --no-net "$linux/com.tramonte.Kelvaria500.metainfo.xml" >"$KV_TMP/as.log" 2>&1 ||
    { cat "$KV_TMP/as.log"; fail "AppStream metadata not valid"; }

kv_package
deb=$KV_DEB
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = kelvaria500 ] || fail "package name $(field Package)"
[ "$(field Version)" = 1.00 ] || fail "version $(field Version)"
[ "$(field Section)" = graphics ] || fail "section $(field Section)"
for dep in libqt6widgets6 libqt6printsupport6 fonts-liberation2; do
    field Depends | grep -q "$dep" || fail "does not depend on $dep"
done
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for f in ./usr/bin/kelvar500 ./usr/lib/kelvaria500/Kelvar500 ./usr/lib/kelvaria500/Equipos/monitor.bmp \
    ./usr/share/applications/com.tramonte.Kelvaria500.desktop \
    ./usr/share/metainfo/com.tramonte.Kelvaria500.metainfo.xml \
    ./usr/share/icons/hicolor/32x32/apps/com.tramonte.Kelvaria500.png \
    ./usr/share/icons/hicolor/256x256/apps/com.tramonte.Kelvaria500.png \
    ./usr/share/doc/kelvaria500/copyright ./usr/share/doc/kelvaria500/changelog.gz \
    ./usr/share/man/man1/kelvar500.1.gz ./usr/share/man/es/man1/kelvar500.1.gz \
    ./usr/lib/kelvaria500/kelvar500-thumbnailer ./usr/share/thumbnailers/kelvar500.thumbnailer \
    ./usr/share/kelvaria500/desktop/thumbnailers/kelvar500.thumbnailer \
    ./usr/lib/systemd/user-environment-generators/60-kelvaria500 ./etc/profile.d/kelvaria500.sh; do
    grep -qxF "$f" <<<"$contents" || fail "the package lacks $f"
done
field Recommends | grep -q qt6-wayland || fail "does not recommend qt6-wayland"
# The session's profile is a configuration file, the administrator's to change.
dpkg-deb --info "$deb" conffiles | grep -qx /etc/profile.d/kelvaria500.sh || fail "the profile is no conffile"
echo "ok: desktop entry and metadata valid; package kelvaria500 1.00 with its dependencies and files"

# Debian's checker: no error and no warning (informational notes are allowed).
lintian "$deb" >"$KV_TMP/lintian.log" 2>&1 || { cat "$KV_TMP/lintian.log"; fail "lintian could not check the package"; }
grep -E '^[EW]: ' "$KV_TMP/lintian.log" && fail "lintian reports errors or warnings"
echo "ok: lintian reports no error and no warning"

# Unpacked (not installed: the machine stays as it was) in $KV_TMP/root.
# The copyright file states the maker's rights in the words of the version block.
rights=$(sed -n 's/.*VALUE "LegalCopyright", "\(.*\)".*/\1/p' "$KV_SOURCE/src/resources/kelvar500.rc")
[ -n "$rights" ] || fail "no LegalCopyright in the version block"
grep -qF "$rights" "$KV_TMP/root/usr/share/doc/kelvaria500/copyright" || fail "the copyright file lacks '$rights'"
# The manual pages: Spanish where a Spanish reader looks, English by default.
man=$KV_TMP/root/usr/share/man
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man/es/man1/kelvar500.1.gz" 2>&1 | grep -q '^NOMBRE' ||
    fail "no Spanish manual page"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man/man1/kelvar500.1.gz" 2>&1 | grep -q '^NAME' || fail "no English manual page"

# A desktop that knows only this package resolves BMP files to its desktop entry. No
# user or system settings take part (their folders are empty), so viewers installed on
# this machine that claim BMP files too do not count.
share="$KV_TMP/root/usr/share"
update-desktop-database "$share/applications"
mkdir -p "$KV_TMP/empty"
xdg_default() {
    env -i PATH="$PATH" HOME="$KV_TMP/empty" XDG_DATA_HOME="$KV_TMP/empty" XDG_CONFIG_HOME="$KV_TMP/empty" \
        XDG_CONFIG_DIRS="$KV_TMP/empty" XDG_DATA_DIRS="$1" xdg-mime query default "$2"
}
for type in image/bmp image/x-bmp image/x-ms-bmp; do
    got=$(xdg_default "$share" "$type") || fail "xdg-mime failed for $type"
    [ "$got" = com.tramonte.Kelvaria500.desktop ] || fail "$type opens with '$got'"
done
[ -z "$(xdg_default "$KV_TMP/empty" image/bmp)" ] || fail "BMP files resolve without the package"
echo "ok: BMP files open with the package's desktop entry"

# Started through its launcher.
cd "$KV_TMP"
kv_start "$KV_TMP/root/usr/bin/kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the packaged program did not show its window"
sleep 0.3
kv_shot "$KV_TMP/packaged.png"
read -r wx wy _ _ < <(kv_geometry "$win")
# The folder list opens at the program's own folder: its sample categories are listed.
top=$(kv_first_row_with "$KV_TMP/packaged.png" $((wx + 80)) $((wy + 154)) 92 308cc6)
[ -n "$top" ] || fail "no open folder highlighted"
below=$(convert "$KV_TMP/packaged.png" -crop 120x45+$((wx + 42))+$((top + 15)) +repage -format %c histogram:info: | wc -l)
[ "$below" -gt 2 ] || fail "no categories under the program's folder"
# A dock or task bar matches the window to the desktop entry by the window's class.
class=$(xprop -id "$win" WM_CLASS | sed -n 's/^WM_CLASS(STRING) = ".*", "\(.*\)"$/\1/p')
entry_class=$(sed -n 's/^StartupWMClass=//p' "$share/applications/com.tramonte.Kelvaria500.desktop")
[ -n "$class" ] && [ "$class" = "$entry_class" ] ||
    fail "the window's class is '$class', the desktop entry's StartupWMClass '$entry_class'"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the packaged program did not end"
[ "$KV_STATUS" = 0 ] || fail "exit status $KV_STATUS"
echo "ok: the packaged program starts among its categories, its window's class is the desktop entry's, and it ends with status 0"

# The command line answers: --help and --version on standard output with status 0, even
# without a display; an unknown option on standard error with the usage and status 2;
# after --, a file named like an option is a file.
kelvar500="$KV_TMP/root/usr/bin/kelvar500"
headless() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$kelvar500" "$@" >"$KV_TMP/out" 2>"$KV_TMP/err"; }
status=0 && headless --help || status=$?
[ "$status" = 0 ] && [ ! -s "$KV_TMP/err" ] || { cat "$KV_TMP/err"; fail "--help: status $status"; }
grep -q '^Uso: kelvar500 \[OPCIÓN\]\.\.\. \[--\] \[ARCHIVO | CARPETA\]$' "$KV_TMP/out" || fail "--help gives no usage"
for option in --help --version -platform -style -geometry; do
    grep -q "^ *$option" "$KV_TMP/out" || fail "the usage does not name $option"
done
version=$(sed -n 's/.*VALUE "ProductVersion", "\(.*\)".*/\1/p' "$KV_SOURCE/src/resources/kelvar500.rc")
status=0 && headless --version || status=$?
[ "$status" = 0 ] && [ "$(cat "$KV_TMP/out")" = "Kelvaria 500 $version" ] && [ ! -s "$KV_TMP/err" ] ||
    fail "--version: status $status, '$(cat "$KV_TMP/out")'"
status=0 && "$kelvar500" --nada >"$KV_TMP/out" 2>"$KV_TMP/err" || status=$?
[ "$status" = 2 ] && [ ! -s "$KV_TMP/out" ] || fail "an unknown option: status $status"
head -n 1 "$KV_TMP/err" | grep -q -- "opción desconocida: --nada" || { cat "$KV_TMP/err"; fail "an unknown option is not named"; }
grep -q '^Uso: kelvar500' "$KV_TMP/err" || fail "no usage after an unknown option"
[ "$(kv_windows "Kelvaria 500")" = 0 ] || fail "a window for an unknown option"
# After --, a file named like an option (the figure is chosen) and a folder named like
# one of Qt's options, which Qt would otherwise take (the folder is opened).
mkdir -p "$KV_TMP/guion/-reverse"
cp "$KV_TMP/root/usr/lib/kelvaria500/Equipos/monitor.bmp" "$KV_TMP/guion/--nada.bmp"
for case in "--nada.bmp:File1.Click" "-reverse:"; do
    name=${case%%:*}
    cd "$KV_TMP/guion"
    KV_TRACE_EVENTS=1 kv_start "$kelvar500" -- "$name"
    cd "$KV_TMP"
    win=$(kv_wait_window "Kelvaria 500") || fail "the program did not open $name after --"
    sleep 0.3
    [ "$(grep -E '^[A-Za-z0-9]+\.[A-Za-z]+$' "$KV_LOG" | paste -sd' ')" = \
        "$(echo Form1.Load Dir1.Change Dir1.Change ${case#*:})" ] || fail "$name after -- was not opened"
    [ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message for $name after --"
    "$KV_XCLOSE" "$win"
    kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"
done
echo "ok: --help and --version answer without a display, an unknown option gives status 2, -- ends the options"

# A double-click on a BMP file in a file manager: the desktop entry's command line with
# %f replaced by the file. The figure is chosen in its folder and shown.
exec_line=$(sed -n 's/^Exec=//p' "$share/applications/com.tramonte.Kelvaria500.desktop")
[ "$exec_line" = "kelvar500 %f" ] || fail "the desktop entry runs '$exec_line'"
figure="$KV_TMP/root/usr/lib/kelvaria500/Equipos/monitor.bmp"
PATH="$KV_TMP/root/usr/bin:$PATH" KV_TRACE_EVENTS=1 kv_start ${exec_line/\%f/$figure}
win=$(kv_wait_window "Kelvaria 500") || fail "the packaged program did not open the file"
sleep 0.3
kv_shot "$KV_TMP/opened.png"
read -r wx wy _ _ < <(kv_geometry "$win")
[ "$(grep -E '^[A-Za-z0-9]+\.[A-Za-z]+$' "$KV_LOG" | paste -sd' ')" = \
    "Form1.Load Dir1.Change Dir1.Change File1.Click" ] || fail "the file was not chosen as by a click"
kv_has_text_in "$KV_TMP/opened.png" "185x17+$((wx + 184))+$((wy + 296))" || fail "no path under the box"
[ "$(convert "$KV_TMP/opened.png" -crop 189x216+$((wx + 186))+$((wy + 98)) +repage -format %k info:)" -gt 2 ] ||
    fail "no figure in the picture box"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 && [ "$KV_STATUS" = 0 ] || fail "the program did not end with status 0"
echo "ok: the desktop entry's command opens a BMP file in the packaged program"
