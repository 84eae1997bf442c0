#!/usr/bin/python3
"""Pings a window as the window manager does (_NET_WM_PING) every 0.2 s for SECONDS and
prints the slowest answer in milliseconds; exits 1 when one was not answered within
LIMIT milliseconds. Usage: xping.py WINDOW SECONDS LIMIT"""
import sys
import time

from Xlib import X, display
from Xlib.protocol import event

wid, seconds, limit = int(sys.argv[1], 0), float(sys.argv[2]), float(sys.argv[3])
d = display.Display()
root = d.screen().root
# (Qt answers to the root window for whoever listens to its own structure.)
root.change_attributes(event_mask=X.StructureNotifyMask | X.SubstructureNotifyMask)
window = d.create_resource_object("window", wid)
protocols = d.intern_atom("WM_PROTOCOLS")
ping = d.intern_atom("_NET_WM_PING")

slowest = 0.0
end = time.monotonic() + seconds
stamp = 1000
while time.monotonic() < end:
    stamp += 1
    window.send_event(event.ClientMessage(window=window, client_type=protocols,
                                          data=(32, [ping, stamp, wid, 0, 0])), event_mask=0)
    d.flush()
    sent = time.monotonic()
    answered = False
    while time.monotonic() - sent < limit / 1000:
        while d.pending_events():
            e = d.next_event()
            if (e.type == X.ClientMessage and e.client_type == protocols and e.data[1][0] == ping
                    and e.data[1][1] == stamp):
                answered = True
        if answered:
            break
        time.sleep(0.002)
    waited = (time.monotonic() - sent) * 1000
    slowest = max(slowest, waited)
    if not answered:
        print(f"no answer to a ping within {limit:.0f} ms")
        sys.exit(1)
    time.sleep(0.2)
print(f"{slowest:.0f}")
