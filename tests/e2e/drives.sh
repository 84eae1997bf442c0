#!/usr/bin/env bash
# Drives and permissions as real machines have them. A second drive: an ext4 image
# mounted in a private mount namespace (nothing outside it sees the mount), browsed
# with the keyboard, then pulled out while shown. Files the user may not read, run as
# root with the file-permission capabilities dropped. Needs root (CI runs as root) and
# loop devices; without them the test reports itself skipped.
source "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || { echo "skipped: a private mount namespace needs root"; exit 77; }
[ -e /dev/loop-control ] || { echo "skipped: no loop devices here"; exit 77; }
media=""
for d in /media /mnt; do [ -d "$d" ] && { media=$d; break; }; done
[ -n "$media" ] || { echo "skipped: neither /media nor /mnt exists"; exit 77; }

# The program runs in a private mount namespace (private_mounts); from outside, the
# namespace is entered with the program's own root too (nsenter -r), which differs from
# the real one in a chroot.
source "$KV_SOURCE/tools/servers.sh"
(private_mounts true) || { echo "skipped: no private mount namespace here"; exit 77; }

keys() { xdotool key --delay 80 "$@"; sleep 0.4; }
files=(Tab Tab Tab) # folder list to file list: drive list, Cerrar, file list
folders=(shift+Tab shift+Tab shift+Tab)
shown() { kv_shot "$KV_TMP/k.png"; kv_pixel "$KV_TMP/k.png" $((wx + 186 + 30)) $((wy + 98 + 30)); }

prog="$KV_TMP/prog"
kv_program_folder "$prog"
kv_figure "$prog/inicio.bmp" 60 60 30b0b0 101010
stick="$KV_TMP/stick"
mkdir -p "$stick/Fotos"
kv_figure "$stick/raiz.bmp" 60 60 b03030 101010
kv_figure "$stick/Fotos/foto.bmp" 60 60 3030b0 101010
mkfs.ext4 -q -F -d "$stick" "$KV_TMP/stick.img" 8M >/dev/null || fail "could not make the drive's image"
point="$media/kv-prueba-$$"

# The program starts in the namespace, where the drive is mounted under a private
# tmpfs on the media folder (so no folder is made on the machine itself).
cd "$KV_TMP"
kv_start private_mounts sh -c "mount -t tmpfs kv-prueba '$media' && mkdir '$point' &&
                             mount -o loop '$KV_TMP/stick.img' '$point' && exec '$prog/Kelvar500'"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear"
read -r wx wy _ _ < <(kv_geometry "$win")
sleep 0.4
grep -q " $point " "/proc/$KV_PID/mounts" || fail "the drive is not mounted in the program's namespace"
! grep -q " $point " /proc/self/mounts || fail "the drive's mount is seen outside the namespace"

# Drive list (Tab, Tab), the next drive: the folder list shows the drive's tree.
keys Tab Tab Down shift+Tab Down Return "${files[@]}" Down # Fotos, its figure
[ "$(shown)" = 3030b0 ] || fail "the figure on the second drive was not shown ($(shown))"
# The tree starts at the drive's root: Home and Enter open the root, not "/".
keys "${folders[@]}" Home Return "${files[@]}" Down
[ "$(shown)" = b03030 ] || fail "Home in the folder list left the drive ($(shown))"
echo "ok: the second drive is browsed from its own root and the tree does not climb above it"

# Pulled out while shown: the system tells the program, which tells the user at once
# that the disk is not ready, and the lists move to the program folder's drive, where
# the program folder shows again.
nsenter -t "$KV_PID" -m -r -w umount -l "$point" || fail "could not take the drive away"
kv_expect_message "$win" 71 2 || fail "no error 71 for a drive pulled out"
keys Down
[ "$(shown)" = 30b0b0 ] || fail "the lists did not move to the program folder ($(shown))"
echo "ok: a drive pulled out gives error 71 at once and the lists go to the program's drive"

# A stick plugged in: listed within a second, without a word; the last drive in the
# drive list (End) is it, and its figure is shown.
nueva="$media/zz-nueva-$$"
mkdir -p "$KV_TMP/nueva"
kv_figure "$KV_TMP/nueva/n.bmp" 60 60 a030a0 101010
mkfs.ext4 -q -F -d "$KV_TMP/nueva" "$KV_TMP/nueva.img" 8M >/dev/null || fail "could not make the new drive's image"
nsenter -t "$KV_PID" -m -r -w sh -c "mkdir '$nueva' && mount -o loop '$KV_TMP/nueva.img' '$nueva'" ||
    fail "could not plug the new drive in"
sleep 1
[ "$(kv_windows "Kelvaria 500")" = 1 ] || fail "a message for a drive that came"
keys shift+Tab shift+Tab End Tab Tab Down
[ "$(shown)" = a030a0 ] || fail "the drive plugged in was not listed within a second ($(shown))"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end"
echo "ok: a drive plugged in is listed within a second"

# The program itself on the stick, run from there, a figure of its folder shown, then
# the stick pulled: 71 at once; the program folder went with it, so the lists go to
# the root drive at its root, and from there every list works (typed names find rows).
pen="$KV_TMP/pen"
kv_program_folder "$pen/prog"
kv_figure "$pen/prog/uno.bmp" 60 60 a0a030 101010
mkfs.ext4 -q -F -d "$pen" "$KV_TMP/pen.img" 64M >/dev/null || fail "could not make the program drive's image"
mkdir -p "$KV_TMP/fuera"
kv_figure "$KV_TMP/fuera/raiz.bmp" 60 60 30a060 101010
kv_start private_mounts sh -c "mount -t tmpfs kv-prueba '$media' && mkdir '$point' &&
                             mount -o loop '$KV_TMP/pen.img' '$point' && exec '$point/prog/Kelvar500'"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear from the stick"
sleep 0.4
keys Tab "${files[@]}" Down
[ "$(shown)" = a0a030 ] || fail "the figure beside the program on the stick was not shown ($(shown))"
nsenter -t "$KV_PID" -m -r -w umount -l "$point" || fail "could not take the program's drive away"
kv_expect_message "$win" 71 2 || fail "no error 71 for the program's drive pulled out"
sleep 0.3
keys "${folders[@]}" Home
xdotool type --delay 60 tmp; keys Return
xdotool type --delay 60 "$(basename "$KV_TMP")"; keys Return
xdotool type --delay 60 fuera; keys Return "${files[@]}" Down
[ "$(shown)" = 30a060 ] || fail "the lists do not work from the root after the program's drive went ($(shown))"
! grep -q "error 76" "$KV_LOG" || fail "a path of the drive that went was used again (error 76)"
"$KV_XCLOSE" "$win"
kv_wait_exit "$KV_PID" 5 || fail "the program did not end"
echo "ok: the program's own drive pulled out: 71, the lists go to the root and work from there"

# Permissions, without root's override: the program runs with the file-permission
# capabilities dropped, which is first shown to really deny access.
locked="$KV_TMP/prog/Permisos"
mkdir -p "$locked/sin-entrar"
kv_figure "$locked/a-cerrada.bmp" 60 60 808080 101010
kv_figure "$locked/sin-entrar/b.bmp" 60 60 808080 101010
kv_figure "$locked/c-abierta.bmp" 60 60 50a050 101010
chmod 000 "$locked/a-cerrada.bmp"
chmod 0644 "$locked/sin-entrar" # can be listed, not entered
nocaps=(setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search)
if "${nocaps[@]}" cat "$locked/a-cerrada.bmp" >/dev/null 2>&1 ||
    "${nocaps[@]}" cat "$locked/sin-entrar/b.bmp" >/dev/null 2>&1; then
    fail "dropping the capabilities does not deny access here: the permission checks would prove nothing"
fi
kv_start "${nocaps[@]}" "$prog/Kelvar500"
win=$(kv_wait_window "Kelvaria 500") || fail "the main window did not appear without the capabilities"
sleep 0.4
keys Tab Down Return "${files[@]}" Home # Permisos
kv_expect_message "$win" 70 || fail "no error 70 for a file without read permission"
keys Down
[ "$(shown)" = 50a050 ] || fail "the readable figure was not shown after the message"
keys "${folders[@]}" Down Return "${files[@]}" Down # sin-entrar, its file
kv_expect_message "$win" 70 || fail "no error 70 for a file in a folder that cannot be entered"
echo "ok: a file without read permission and one in a folder that cannot be entered give error 70"
