# Private servers for tests, benchmarks and pictures, sourced: an X server on a display
# number nothing else uses, and a print server with its own folder, socket and spool and
# a default queue that keeps every job's document. The machine's own displays, printers
# and settings are not touched; everything started is stopped by PID on exit, and the
# work folder ($work) goes.
#   start_display NAME [--window-manager]
#                        the X server alone: sets DISPLAY-to-be KV_TEST_DISPLAY and
#                        XDG_RUNTIME_DIR. With --window-manager, openbox manages its
#                        windows as on a user's desktop: frames, title bars, placement,
#                        focus, close boxes.
#   start_servers NAME [--window-manager]
#                        the X server and the print server: sets CUPS_SERVER and
#                        KV_TEST_SPOOL (when the print server runs) too.
#   start_print_server DIR
#                        a print server alone, in the folder DIR (made): sets CUPS_SERVER,
#                        KV_TEST_SPOOL (when its queue was made) and print_pid, the PID
#                        of the server, which the caller stops.

start_display() {
work=$(mktemp -d "/tmp/$1.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A private X server; it picks a free display number and writes it to fd 3. It must not
# reset when its last client leaves: a program started just then could not connect.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
done
[ -s "$work/display" ] || { echo "The virtual display (Xvfb) did not start:"; cat "$work/xvfb.log"; exit 1; }
export KV_TEST_DISPLAY=":$(head -n 1 "$work/display")"

export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"

if [ "${2:-}" = "--window-manager" ]; then
    # Its home is the work folder: what it keeps (a cache) goes with it.
    DISPLAY="$KV_TEST_DISPLAY" HOME="$work" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config" \
        openbox --sm-disable >"$work/openbox.log" 2>&1 &
    pids+=($!)
    # Ready when it has announced itself on the root window.
    for _ in $(seq 100); do
        DISPLAY="$KV_TEST_DISPLAY" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        sleep 0.05
    done
    DISPLAY="$KV_TEST_DISPLAY" xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' ||
        { echo "openbox did not start"; cat "$work/openbox.log"; exit 1; }
fi
}

start_servers() {
start_display "$@"
start_print_server "$work/cups"
pids+=("$print_pid")
}

start_print_server() {
# A private print server with its own folder, socket and spool, and a default queue that
# keeps every job's document; the machine's own printers and settings are not touched.
local cups=$1
mkdir -p "$cups/spool" "$cups/tmp" "$cups/cache" "$cups/state" "$cups/log"
chmod 0700 "$cups/spool"
cat >"$cups/cups-files.conf" <<CONF
ServerRoot $cups
RequestRoot $cups/spool
TempDir $cups/tmp
CacheDir $cups/cache
StateDir $cups/state
AccessLog $cups/log/access_log
ErrorLog $cups/log/error_log
PageLog $cups/log/page_log
SystemGroup root
CONF
cat >"$cups/cupsd.conf" <<CONF
Listen $cups/cups.sock
WebInterface No
PreserveJobFiles Yes
PreserveJobHistory Yes
LogLevel warn
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
/usr/sbin/cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
print_pid=$!
export CUPS_SERVER="$cups/cups.sock"
for _ in $(seq 100); do
    lpstat -r 2>/dev/null | grep -q "is running" && break
    sleep 0.05
done
if lpadmin -p kelvaria-prueba -v file:///dev/null -E -m raw 2>/dev/null && lpadmin -d kelvaria-prueba; then
    export KV_TEST_SPOOL="$cups/spool"
else
    echo "The private print server did not start: the printing tests are skipped."
fi
}

# private_mounts COMMAND...: runs the command in place of the caller, in a mount namespace
# of its own, where what it mounts is seen by nothing outside. unshare's default makes
# every mount in it private (on a desktop / is shared, and a mount must not leak out);
# in a chroot, where / is no mount point, that fails, and there mounts are not shared
# anyway, which is checked first. Exits with 77 when neither holds.
private_mounts() {
    if unshare -m true 2>/dev/null; then
        exec unshare -m "$@"
    elif ! awk '$5 == "/" && / shared:/ {found = 1} END {exit !found}' /proc/self/mountinfo; then
        exec unshare -m --propagation unchanged "$@"
    fi
    echo "cannot make a private mount namespace here" >&2
    exit 77
}
