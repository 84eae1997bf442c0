#!/usr/bin/env bash
# Thumbnails as a GNOME desktop's file manager asks for them: GNOME's own thumbnail
# factory (in its bubblewrap sandbox), with the package's files laid over /usr beside
# gdk-pixbuf's thumbnailer, which claims BMP files too, and the data folders the
# package's environment generator gives a session. Each of the reader's own test figures
# must get the package's thumbnail, showing the picture the reader's tests expect of it;
# hostile files must fail, quickly. The package goes over /usr in a mount namespace of
# the test's own: the machine stays as it was. Needs root (skipped otherwise).
source "$(dirname "$0")/lib.sh"

[ "$(id -u)" = 0 ] || { echo "needs root for a mount namespace"; exit 77; }
/usr/bin/python3 -c 'import gi; gi.require_version("GnomeDesktop", "3.0")' 2>/dev/null && command -v bwrap >/dev/null &&
    [ -f /usr/share/thumbnailers/gdk-pixbuf-thumbnailer.thumbnailer ] ||
    { echo "GNOME's thumbnail factory, bubblewrap or gdk-pixbuf's thumbnailer is not installed"; exit 77; }

kv_package

# The reader's test figures, and beside each one the test compares, the picture it must
# show (NAME.bmp and NAME.png).
mkdir -p "$KV_TMP/seeds" "$KV_TMP/figures" "$KV_TMP/hostile" "$KV_TMP/home"
KV_BMP_SEEDS="$KV_TMP/seeds" KV_BMP_EXPECTED="$KV_TMP/figures" QT_QPA_PLATFORM=offscreen \
    "$KV_BUILD/bin/test_bmp_reader" >"$KV_TMP/reader.log" 2>&1 || { cat "$KV_TMP/reader.log"; fail "the reader's tests failed"; }
for png in "$KV_TMP"/figures/*.png; do cp "$KV_TMP/seeds/$(basename "$png" .png).bmp" "$KV_TMP/figures/"; done
[ "$(ls "$KV_TMP"/figures/*.bmp | wc -l)" -ge 40 ] || fail "too few test figures with their pictures"

# Hostile files: RLE8 figures of a few bytes claiming 100,000 × 100,000 and 16,384 ×
# 16,384 pixels (the program's own limit), text, and a FIFO.
rle_bomb="/usr/bin/python3 $(dirname "$0")/rle_bomb.py"
$rle_bomb "$KV_TMP/hostile/bomb.bmp" 100000
$rle_bomb "$KV_TMP/hostile/limit.bmp" 16384
echo "no es una figura" >"$KV_TMP/hostile/text.bmp"
mkfifo "$KV_TMP/hostile/fifo.bmp"

cat >"$KV_TMP/factory.py" <<'EOF'
import os, struct, sys, time
import gi
gi.require_version("GnomeDesktop", "3.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib, GnomeDesktop

factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.NORMAL)
def thumbnail(path):
    return factory.generate_thumbnail(Gio.File.new_for_path(path).get_uri(), "image/bmp", None)

# The picture shrunk to `w` pixels across, each the average of the block of pixels it
# covers, colours weighed by their alpha (premultiplied).
def coarse(p, w):
    W, H = p.get_width(), p.get_height()
    h = max(1, round(H * w / W))
    p = p if p.get_has_alpha() else p.add_alpha(False, 0, 0, 0)
    px, rs, out = p.get_pixels(), p.get_rowstride(), []
    for j in range(h):
        for i in range(w):
            s, n = [0, 0, 0, 0], 0
            for y in range(j * H // h, max(j * H // h + 1, (j + 1) * H // h)):
                for x in range(i * W // w, max(i * W // w + 1, (i + 1) * W // w)):
                    r, g, b, a = px[y * rs + x * 4 : y * rs + x * 4 + 4]
                    s = [s[0] + r * a, s[1] + g * a, s[2] + b * a, s[3] + a * 255]
                    n += 255
            out += [v / n for v in s]
    return out

figures, hostile, failures = sys.argv[1], sys.argv[2], 0
for name in sorted(n for n in os.listdir(figures) if n.endswith(".bmp")):
    path = os.path.join(figures, name)
    want = GdkPixbuf.Pixbuf.new_from_file(path[:-4] + ".png")
    try:
        got = thumbnail(path)
    except GLib.Error as e:
        print(f"{name}: no thumbnail ({e.message})"); failures += 1; continue
    W, H = want.get_width(), want.get_height()
    size = (W, H) if max(W, H) <= 128 else (128, max(1, round(H * 128 / W))) if W >= H else (max(1, round(W * 128 / H)), 128)
    w = min(32, W)
    d = [abs(a - b) for a, b in zip(coarse(got, w), coarse(want, w))]
    mean, most = sum(d) / len(d), max(d)
    # A JPEG inside keeps only an approximation of the test's pattern of noise.
    head = open(path, "rb").read(34)
    jpeg = struct.unpack("<I", head[14:18])[0] >= 40 and head[28] == 0 and struct.unpack("<I", head[30:34])[0] == 4
    ok = got.get_option("tEXt::Software") == "Kelvaria 500" and (got.get_width(), got.get_height()) == size and \
        (mean <= 24 and most <= 128 if jpeg else mean <= 1 and most <= 12)
    if not ok:
        print(f"{name}: {got.get_option('tEXt::Software')}, {got.get_width()}x{got.get_height()} "
              f"for {W}x{H}, difference mean {mean:.1f}, most {most:.0f}"); failures += 1
print(f"figures: {len(os.listdir(figures)) // 2}, wrong: {failures}")
for name in sorted(os.listdir(hostile)):
    start = time.monotonic()
    try:
        thumbnail(os.path.join(hostile, name))
        print(f"{name}: a thumbnail"); failures += 1
    except GLib.Error:
        if time.monotonic() - start > 5:
            print(f"{name}: failed after {time.monotonic() - start:.1f} s"); failures += 1
sys.exit(1 if failures else 0)
EOF

# Inside a mount namespace of the test's own (private_mounts): the package over /usr (a
# read-only overlay, the package's files above the system's), the session's data folders
# from the package's environment generator, the factory's cache in the test's folder.
export HOME="$KV_TMP/home" XDG_CACHE_HOME="$KV_TMP/home/cache" XDG_DATA_HOME="$KV_TMP/home/data"
unset XDG_DATA_DIRS
source "$KV_SOURCE/tools/servers.sh"
(private_mounts true) || { echo "skipped: no private mount namespace here"; exit 77; }
# The factory's own sandbox where bubblewrap can make one; in a chroot, which allows it
# none, a stand-in that gives the thumbnailer the same files (tests/e2e/bwrap_standin.sh).
sandbox="bubblewrap's sandbox"
if ! bwrap --ro-bind / / --unshare-all true 2>/dev/null; then
    mkdir "$KV_TMP/standin"
    ln -s "$(cd "$(dirname "$0")" && pwd)/bwrap_standin.sh" "$KV_TMP/standin/bwrap"
    export PATH="$KV_TMP/standin:$PATH"
    sandbox="a stand-in for bubblewrap, which can make no sandbox here"
fi
(private_mounts sh -c '
    mount -t overlay overlay -o ro,lowerdir="$1/root/usr":/usr /usr || exit 3
    [ -f /usr/share/thumbnailers/kelvar500.thumbnailer ] && [ -f /usr/share/thumbnailers/gdk-pixbuf-thumbnailer.thumbnailer ] || exit 4
    dirs=$(/usr/lib/systemd/user-environment-generators/60-kelvaria500) && export "$dirs" || exit 5
    echo "$XDG_DATA_DIRS"
    exec /usr/bin/python3 "$1/factory.py" "$1/figures" "$1/hostile"' sh "$KV_TMP") >"$KV_TMP/factory.log" 2>&1 ||
    { cat "$KV_TMP/factory.log"; fail "the desktop's thumbnails are not the package's, or not right"; }
head -n 1 "$KV_TMP/factory.log" | grep -qx '/usr/share/kelvaria500/desktop:/usr/local/share:/usr/share' ||
    fail "the session's data folders: $(head -n 1 "$KV_TMP/factory.log")"
[ ! -e /usr/share/kelvaria500 ] && [ ! -e /usr/share/thumbnailers/kelvar500.thumbnailer ] || fail "the machine changed"
echo "ok: $(sed -n 's/^figures: \([0-9]*\).*/\1/p' "$KV_TMP/factory.log") test figures get the package's thumbnails with their expected pictures beside gdk-pixbuf's thumbnailer; bombs, text and a FIFO fail within 5 s (in $sandbox)"
